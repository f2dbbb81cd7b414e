// What kestran-deliver reads from the queue directory and what it sends on:
// - a recipient file and a state file of any bytes parse or are refused, never crash, and
//   a state file that parses is written back to the same text's meaning;
// - any message body, streamed as DATA, ends exactly once with the line ".", holds no bare
//   CR or LF, and every line but the last that starts with "." is stuffed; to sendmail it
//   has no CR at all.
#include <cstddef>
#include <cstdint>
#include <string>

#include "deliver/body_encoder.h"
#include "deliver/delivery_state.h"
#include "deliver/queue_pair.h"
#include "targets/fuzz_check.h"

namespace {

std::string Encode(const std::string& queued, kestran::TBodyMode mode, size_t step) {
  size_t off = 0;
  std::string out;
  bool ok = kestran::EncodeBody(
      [&](char* p, size_t n) -> long {
        n = std::min({n, step, queued.size() - off});
        std::copy(queued.data() + off, queued.data() + off + n, p);
        off += n;
        return static_cast<long>(n);
      },
      queued.size(), mode,
      [&](const char* p, size_t n) {
        out.append(p, n);
        return true;
      });
  FUZZ_CHECK(ok);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = 1 + data[0] % 64;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  kestran::TQueuedPair pair;
  std::string why;
  if (kestran::ParseRecipientFile(input, pair, why)) FUZZ_CHECK(!pair.recipients.empty());

  kestran::TDeliveryState state;
  if (kestran::ParseDeliveryState(input, state)) {
    kestran::TDeliveryState again;
    FUZZ_CHECK(kestran::ParseDeliveryState(kestran::FormatDeliveryState(state), again));
    FUZZ_CHECK(kestran::FormatDeliveryState(again) == kestran::FormatDeliveryState(state));
  }

  // The input as a message file: its bytes, then the terminating line.
  const std::string queued = input + "\r\n.\r\n";
  const std::string out = Encode(queued, kestran::TBodyMode::Data, step);
  FUZZ_CHECK(out.size() >= 3 && out.compare(out.size() - 3, 3, ".\r\n") == 0);
  FUZZ_CHECK(out.size() == 3 || out.compare(out.size() - 5, 2, "\r\n") == 0);
  size_t lineStart = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r') FUZZ_CHECK(i + 1 < out.size() && out[i + 1] == '\n');
    if (out[i] == '\n') {
      FUZZ_CHECK(i > 0 && out[i - 1] == '\r');
      const std::string line = out.substr(lineStart, i - 1 - lineStart);
      if (i + 1 < out.size()) FUZZ_CHECK(line != ".");
      lineStart = i + 1;
    }
  }
  FUZZ_CHECK(Encode(queued, kestran::TBodyMode::Data, 65536) == out);
  const std::string local = Encode(queued, kestran::TBodyMode::Sendmail, step);
  FUZZ_CHECK(local.find('\r') == std::string::npos);
  return 0;
}
