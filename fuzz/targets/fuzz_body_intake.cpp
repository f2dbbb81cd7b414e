// The body intake with its scratch file: the fuzzer's bytes are the body lines (split at
// CR LF) and the size of the memory part. Whatever the lines and wherever the memory part
// ends, the queued message is the trace header followed by every line and its CR LF, the
// header scan agrees with a scan of the whole body, and no scratch file outlives the body.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "smtp/message_body.h"
#include "smtp/queue_writer.h"
#include "targets/fuzz_check.h"

namespace {

namespace fs = std::filesystem;

struct Harness {
  std::string dir;  // native
  Harness() {
    const std::string base = fs::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    dir = base + "/kestran-fuzz-body-" + std::to_string(::getpid());
    fs::create_directories(dir);
  }
  ~Harness() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  size_t FileCount() const {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.is_regular_file() ? 1 : 0;
    return n;
  }
};

Harness& TheHarness() {
  static Harness h;
  return h;
}

// The file's bytes (an absolute path is used as it stands); empty when it cannot be read.
std::string ReadAll(const fs::path& p) {
  std::string s;
  if (!kestran::ReadWholeFile(p.string(), s)) s.clear();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Harness& h = TheHarness();
  // A memory part of 0 to 255 bytes: spilling starts anywhere in the body, even at once.
  const size_t memoryPart = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= input.size()) {
    size_t e = input.find("\r\n", pos);
    if (e == std::string::npos) e = input.size();
    lines.push_back(input.substr(pos, e - pos));
    pos = e + 2;
  }

  std::string expected;
  {
    kestran::TMessageBody body;
    body.Start(h.dir + "/", memoryPart);
    for (const auto& line : lines) {
      FUZZ_CHECK(body.AppendLine(line));
      expected += line + "\r\n";
      FUZZ_CHECK(body.Size() == expected.size());
      FUZZ_CHECK(body.MemoryPart().size() <= memoryPart);
    }
    FUZZ_CHECK(body.Spilled() == (expected.size() > body.MemoryPart().size()));
    FUZZ_CHECK(h.FileCount() == (body.Spilled() ? 1u : 0u));
    if (body.Spilled()) {
      const std::string path = body.ScratchPath();
      const std::string name = path.substr(path.rfind('/') + 1);
      FUZZ_CHECK(name.rfind("kestran-body-", 0) == 0);
      FUZZ_CHECK(name.size() == 13 + 16 + 4 && name.compare(29, 4, ".tmp") == 0);
    }
    FUZZ_CHECK(body.ToString() == expected);

    const kestran::THeaderScan whole = kestran::ScanHeaders(expected);
    FUZZ_CHECK(body.Scan().hasDate == whole.hasDate);
    FUZZ_CHECK(body.Scan().hasMessageId == whole.hasMessageId);
    FUZZ_CHECK(body.Scan().firstLineFolded == whole.firstLineFolded);

    // The message file: what is put in front, then the body as received.
    kestran::TQueueWriter writer(h.dir + "/", false);
    const std::string header = "Received: test\r\n";
    const auto outcome = writer.WritePair(
        "B0000000001", [&](kestran::TFile& f) { return f.Write(header) && body.WriteTo(f); },
        "Message-ID: <B0000000001@fuzz>\r\n");
    FUZZ_CHECK(outcome == kestran::TQueueWriter::Outcome::Written);
    FUZZ_CHECK(ReadAll(fs::path(h.dir) / "B0000000001.MSG") == header + expected);
    fs::remove(fs::path(h.dir) / "B0000000001.MSG");
    fs::remove(fs::path(h.dir) / "B0000000001.RCP");

    // Clearing gives the scratch file back at once; the body is usable again.
    body.Clear();
    FUZZ_CHECK(h.FileCount() == 0);
    FUZZ_CHECK(body.Size() == 0 && body.ToString().empty());
    body.Start(h.dir + "/", memoryPart);
    if (!lines.empty()) FUZZ_CHECK(body.AppendLine(lines.back()));
  }
  // And destruction does too.
  FUZZ_CHECK(h.FileCount() == 0);
  return 0;
}
