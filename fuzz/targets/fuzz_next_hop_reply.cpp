// What kestran-deliver makes of a next hop's reply lines, whatever they hold: a reply is
// taken only from well-formed lines of one code, never from more than 100 lines or 64 KiB,
// and its text is at most 500 characters of printable ASCII.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "deliver/reply_reader.h"
#include "targets/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kestran::TReplyParser parser;
  size_t pos = 0;
  size_t lines = 0;
  while (pos < input.size()) {
    size_t end = input.find('\n', pos);
    const size_t wire = (end == std::string_view::npos ? input.size() : end + 1) - pos;
    std::string_view line = input.substr(pos, wire);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos += wire;
    const size_t room = parser.Room();
    const auto status = parser.Feed(line, wire);
    ++lines;
    if (status == kestran::TReplyParser::Status::Error) {
      FUZZ_CHECK(!parser.Error().empty());
      parser.Reset();
      lines = 0;
      continue;
    }
    FUZZ_CHECK(lines <= kestran::kMaxReplyLines);
    FUZZ_CHECK(wire <= room);
    if (status == kestran::TReplyParser::Status::Done) {
      const kestran::TReply reply = parser.Reply();
      FUZZ_CHECK(reply.code >= 200 && reply.code <= 559);
      FUZZ_CHECK(reply.text.size() <= 500);
      FUZZ_CHECK(reply.text.compare(0, 3, std::to_string(reply.code)) == 0);
      for (char c : reply.text) FUZZ_CHECK(c >= 32 && c < 127);
      parser.Reset();
      lines = 0;
    }
  }
  return 0;
}
