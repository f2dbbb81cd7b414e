// BDAT chunks into the queue's form: the fuzzer's bytes are a chunk length and a message.
// Whatever the octets and wherever the chunks end, the stored body is CR LF lines without
// a bare CR or LF, no line "." but the last, the same as when the message comes in one
// chunk, and taking the stuffing off gives back the message with every line end made
// one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "smtp/bdat_intake.h"
#include "smtp/message_body.h"
#include "targets/fuzz_check.h"

namespace {

// The stored body of message sent in chunks of at most chunk octets (0: one chunk).
std::string Store(const std::string& message, size_t chunk) {
  kestran::TMessageBody body;
  // Large enough that nothing goes to a scratch file.
  body.Start("", size_t{1} << 30);
  kestran::TBdatIntake intake;
  intake.Begin(body, 0, 0);
  if (chunk == 0) chunk = message.size() + 1;
  for (size_t at = 0; at < message.size(); at += chunk)
    intake.Feed(std::string_view(message).substr(at, chunk));
  FUZZ_CHECK(intake.Finish() == kestran::TBdatIntake::State::Kept);
  return body.ToString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t chunk = data[0] % 17;
  const std::string message(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string stored = Store(message, chunk);
  FUZZ_CHECK(stored == Store(message, 0));
  FUZZ_CHECK(stored.size() >= 3 && stored.compare(stored.size() - 3, 3, ".\r\n") == 0);
  // Lines: CR only before LF, LF only after CR; "." alone only at the end.
  std::string lines;
  size_t start = 0;
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\r') FUZZ_CHECK(i + 1 < stored.size() && stored[i + 1] == '\n');
    if (stored[i] != '\n') continue;
    FUZZ_CHECK(i > 0 && stored[i - 1] == '\r');
    std::string line = stored.substr(start, i - 1 - start);
    const bool last = i + 1 == stored.size();
    FUZZ_CHECK((line == ".") == last);
    if (!last) {
      if (!line.empty() && line[0] == '.') {
        FUZZ_CHECK(line.size() > 1 && line[1] == '.');
        line.erase(0, 1);
      }
      lines += line + "\n";
    }
    start = i + 1;
  }
  // The message with CR LF, a bare CR and a bare LF each made one line end.
  std::string expected;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r') {
      expected += '\n';
      if (i + 1 < message.size() && message[i + 1] == '\n') ++i;
    } else {
      expected += message[i];
    }
  }
  if (!expected.empty() && expected.back() != '\n') expected += '\n';
  FUZZ_CHECK(lines == expected);
  return 0;
}
