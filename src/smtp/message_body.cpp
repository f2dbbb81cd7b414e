#include "smtp/message_body.h"

#include <algorithm>
#include <vector>

#include "platform/files.h"
#include "platform/scratch_file.h"

namespace kestran {
namespace {

// Bytes collected before one write to the scratch file, and read back at a time.
constexpr size_t kScratchChunk = 64 * 1024;

bool StartsWithUpper(std::string_view line, std::string_view word) {
  if (line.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return true;
}

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

// A header field named Received: the name at the start of the line, then blanks at most
// before the colon.
bool IsReceivedField(std::string_view line) {
  constexpr std::string_view kName = "RECEIVED";
  if (!StartsWithUpper(line, kName)) return false;
  size_t i = kName.size();
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i < line.size() && line[i] == ':';
}

}  // namespace

bool ScanHeaderLine(std::string_view line, bool first, THeaderScan& scan) {
  if (first && !line.empty() && (line[0] == ' ' || line[0] == '\t')) scan.firstLineFolded = true;
  // A client that ends its lines with bare LF sends its whole header as one line of ours:
  // every LF ends a header line (a CR before it goes with the trimming).
  while (true) {
    const size_t lf = line.find('\n');
    std::string_view t = TrimView(line.substr(0, lf));
    if (t.empty()) return false;
    if (IsReceivedField(line.substr(0, lf))) ++scan.receivedCount;
    if (StartsWithUpper(t, "DATE") || StartsWithUpper(t, "RECEIVED")) scan.hasDate = true;
    if (StartsWithUpper(t, "MESSAGE-ID")) scan.hasMessageId = true;
    if (lf == std::string_view::npos) return true;
    line.remove_prefix(lf + 1);
  }
}

TMessageBody::TMessageBody() = default;

TMessageBody::~TMessageBody() = default;

void TMessageBody::Start(const std::string& dirPrefix, size_t memoryPart) {
  Clear();
  dirPrefix_ = dirPrefix;
  memoryPart_ = memoryPart;
}

void TMessageBody::Clear() {
  std::string().swap(memory_);
  std::string().swap(pending_);
  scratch_.reset();
  scratchSize_ = 0;
  size_ = 0;
  failed_ = false;
  inHeader_ = true;
  first_ = true;
  scan_ = THeaderScan();
}

bool TMessageBody::Spilled() const {
  return scratch_ != nullptr;
}

std::string TMessageBody::ScratchPath() const {
  return scratch_ ? scratch_->Path() : std::string();
}

bool TMessageBody::AppendLine(std::string_view line) {
  if (failed_) return false;
  if (inHeader_) inHeader_ = ScanHeaderLine(line, first_, scan_);
  first_ = false;
  const size_t add = line.size() + 2;
  if (!scratch_ && memory_.size() + add <= memoryPart_) {
    if (memory_.capacity() < memory_.size() + add) {
      // Grow geometrically, but never past the memory part.
      size_t grow = std::max({memory_.size() + add, memory_.capacity() * 2, size_t{4096}});
      memory_.reserve(std::min(grow, std::max(memoryPart_, memory_.size() + add)));
    }
    memory_.append(line);
    memory_.append("\r\n", 2);
    size_ += add;
    return true;
  }
  if (!Spill(line) || !Spill("\r\n")) {
    // What was kept can no longer make a complete message: keep nothing more.
    failed_ = true;
    std::string().swap(memory_);
    std::string().swap(pending_);
    scratch_.reset();
    scratchSize_ = 0;
    return false;
  }
  size_ += add;
  return true;
}

bool TMessageBody::Spill(std::string_view bytes) {
  if (!scratch_) {
    auto file = std::make_unique<TScratchFile>();
    if (!file->Create(dirPrefix_, std::string(kScratchPrefix), std::string(kScratchSuffix)))
      return false;
    scratch_ = std::move(file);
    pending_.reserve(kScratchChunk);
  }
  while (!bytes.empty()) {
    size_t room = kScratchChunk - pending_.size();
    size_t take = std::min(room, bytes.size());
    pending_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (pending_.size() == kScratchChunk) {
      if (!scratch_->Write(pending_.data(), pending_.size())) return false;
      scratchSize_ += pending_.size();
      pending_.clear();
    }
  }
  return true;
}

template <class Sink>
bool TMessageBody::ForEachPart(Sink sink) const {
  if (!memory_.empty() && !sink(memory_.data(), memory_.size())) return false;
  if (scratch_) {
    std::vector<char> buf(kScratchChunk);
    uint64_t at = 0;
    while (at < scratchSize_) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), scratchSize_ - at));
      long n = scratch_->ReadAt(at, buf.data(), want);
      if (n <= 0) return false;
      if (!sink(buf.data(), static_cast<size_t>(n))) return false;
      at += static_cast<uint64_t>(n);
    }
  }
  if (!pending_.empty() && !sink(pending_.data(), pending_.size())) return false;
  return true;
}

bool TMessageBody::WriteTo(TFile& out) const {
  if (failed_) return false;
  return ForEachPart([&out](const char* p, size_t n) { return out.Write(p, n); });
}

std::string TMessageBody::ToString() const {
  std::string all;
  all.reserve(static_cast<size_t>(size_));
  ForEachPart([&all](const char* p, size_t n) {
    all.append(p, n);
    return true;
  });
  return all;
}

}  // namespace kestran
