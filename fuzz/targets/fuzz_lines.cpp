// The line framing of the buffered connection, against a model: bytes arrive over a
// socket pair, the connection reads lines with a small buffer chunk and line limit, and
// every line must be what splitting the input at the terminator gives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "targets/fuzz_check.h"
#include "targets/socket_pair.h"
#include "transport/server_conduit.h"

namespace {

struct Line {
  std::string text;
  bool tooLong;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const char* const kTerminators[] = {"\r\n", "\n", "\r\n.\r\n", "ab"};
  const uint32_t maxLen = 1 + data[0] % 48;
  const int32_t chunk = 1 + data[1] % 40;
  const std::string term = kTerminators[data[2] % 4];
  const std::string input(reinterpret_cast<const char*>(data + 3), size - 3);

  fuzz::SocketPair pair;
  if (pair.server < 0) return 0;
  kestran::TConduitServer conn(nullptr);
  conn.SetBufferChunk(chunk);
  conn.SetMaxLineLength(maxLen);
  conn.SetLineTerminator(term);
  conn.SetReceiveTimeout(10);
  conn.SetHandle(pair.server);

  std::thread client([&] {
    fuzz::Converse(pair.client, input);
    pair.CloseClient();
  });

  size_t pos = 0;  // where the model's next line starts
  bool ended = false;
  while (!ended) {
    std::string line;
    try {
      line = conn.ReadLn();
    } catch (const kestran::EConduitException&) {
      ended = true;
      break;
    }
    const size_t t = input.find(term, pos);
    if (t == std::string::npos) {
      // Only the head of an over-long unterminated tail may come out.
      FUZZ_CHECK(conn.LastLineTooLong());
      FUZZ_CHECK(input.size() - pos > maxLen);
      FUZZ_CHECK(line == input.substr(pos, maxLen));
      pos = input.size();
      continue;
    }
    const size_t len = t - pos;
    FUZZ_CHECK(conn.LastLineTooLong() == (len > maxLen));
    FUZZ_CHECK(line == input.substr(pos, len > maxLen ? maxLen : len));
    pos = t + term.size();
  }
  // Every complete line was delivered before the end.
  FUZZ_CHECK(input.find(term, pos) == std::string::npos);
  conn.Disconnect();
  client.join();
  return 0;
}
