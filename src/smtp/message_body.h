#pragma once
// The body of the message being received. The first part stays in memory; once the body
// grows past it, the rest goes to a scratch file in the queue directory, so that a session
// holds a bounded amount of memory whatever the message size. The scratch file is named
// "kestran-body-" + 16 random hex digits + ".tmp" (never taken by the host for a queue
// pair) and is deleted when the body is cleared or destroyed.
//
// The header block is scanned as the lines arrive, so nothing needs to be read back for it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestran {

class TFile;
class TScratchFile;

// What the header block of a message (the lines before the first empty line) holds.
struct THeaderScan {
  bool hasDate = false;       // a Date: or Received: line
  bool hasMessageId = false;  // a Message-ID: line
  // The first line starts with a blank or a tab: a header line put in front of the
  // message would be continued by it.
  bool firstLineFolded = false;
  // Received: fields, each counted once (its continuation lines are not fields).
  uint32_t receivedCount = 0;
};

// Takes the next line of a header block (without its CR LF) into scan; false once the
// block has ended (this line, trimmed, is empty). first: the line is the message's first.
bool ScanHeaderLine(std::string_view line, bool first, THeaderScan& scan);

class TMessageBody {
 public:
  static constexpr size_t kMemoryPart = 256 * 1024;
  static constexpr std::string_view kScratchPrefix = "kestran-body-";
  static constexpr std::string_view kScratchSuffix = ".tmp";

  TMessageBody();
  ~TMessageBody();
  TMessageBody(const TMessageBody&) = delete;
  TMessageBody& operator=(const TMessageBody&) = delete;

  // Empties the body; a part beyond memoryPart bytes goes to a scratch file in dirPrefix
  // (a Windows-style directory ending in "\", or empty for the current directory).
  void Start(const std::string& dirPrefix, size_t memoryPart = kMemoryPart);
  // Empties the body, gives its memory back and deletes its scratch file.
  void Clear();

  // Appends line and CR LF. False when the part beyond memory could not be written: the
  // body is then incomplete (Failed) and keeps nothing more.
  bool AppendLine(std::string_view line);

  uint64_t Size() const { return size_; }
  bool Failed() const { return failed_; }
  bool Spilled() const;
  // The scratch file's path (Windows style), empty when the body is all in memory.
  std::string ScratchPath() const;
  const THeaderScan& Scan() const { return scan_; }
  // The part in memory: the whole body when it did not spill.
  const std::string& MemoryPart() const { return memory_; }

  // Writes the whole body to out; false on a failure of either file.
  bool WriteTo(TFile& out) const;
  // The whole body as one string (for handlers and tests; reads the scratch file back).
  std::string ToString() const;

 private:
  bool Spill(std::string_view bytes);
  template <class Sink>
  bool ForEachPart(Sink sink) const;

  std::string dirPrefix_;
  size_t memoryPart_ = kMemoryPart;
  std::string memory_;
  std::string pending_;  // bytes for the scratch file not written yet
  std::unique_ptr<TScratchFile> scratch_;
  uint64_t scratchSize_ = 0;  // bytes written to the scratch file
  uint64_t size_ = 0;
  bool failed_ = false;
  bool inHeader_ = true;
  bool first_ = true;
  THeaderScan scan_;
};

}  // namespace kestran
