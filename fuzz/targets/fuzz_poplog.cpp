// The scan of the host's POP3 log for a recent login of the client's address.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/pop_auth.h"
#include "platform/ip_address.h"
#include "targets/fuzz_check.h"

namespace {

bool AddressChar(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// Whether the log names the address: an IPv4 one as text, an IPv6 one in any spelling as
// the run of address characters around one of the log's colons.
bool NamesAddress(std::string_view contents, const std::string& ip) {
  const auto want = kestran::ParseIpAddress(ip);
  if (ip.find(':') == std::string::npos || !want)
    return contents.find(ip) != std::string_view::npos;
  for (size_t colon = contents.find(':'); colon != std::string_view::npos;
       colon = contents.find(':', colon + 1)) {
    size_t from = colon, to = colon;
    while (from > 0 && AddressChar(contents[from - 1])) --from;
    while (to < contents.size() && AddressChar(contents[to])) ++to;
    std::string_view run = contents.substr(from, to - from);
    while (!run.empty() && run.back() == '.') run.remove_suffix(1);
    if (kestran::ParseIpAddress(run) == want) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  // Six bytes choose the client address, the delay and the time of day; the rest is the log.
  static const char* const kAddresses[] = {"10.0.0.1",  "192.168.1.20",    "1",  "", "127.0.0.1",
                                           "10.0.0.10", "255.255.255.255", "::1"};
  const std::string ip = kAddresses[data[0] % 8];
  // Delays from -127 to 127 minutes, and the largest there is.
  const int32_t delay = data[1] == 255 ? INT32_MAX : static_cast<int8_t>(data[1]);
  const int64_t now =
      (int64_t{data[2]} << 24 | int64_t{data[3]} << 16 | int64_t{data[4]} << 8 | data[5]) %
      86400000;
  const std::string_view contents(reinterpret_cast<const char*>(data + 6), size - 6);

  const auto lines = kestran::SplitLogLines(contents);
  size_t total = 0;
  for (const auto& line : lines) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    total += line.size();
  }
  FUZZ_CHECK(total <= contents.size());
  const bool allowed = kestran::ScanPopLog(lines, ip, now, delay);
  // Only a line that holds the address can allow it.
  if (allowed) {
    FUZZ_CHECK(!ip.empty());
    FUZZ_CHECK(NamesAddress(contents, ip));
    FUZZ_CHECK(contents.find("PASS **** OK") != std::string_view::npos);
  }
  for (const auto& line : lines) {
    if (auto t = kestran::ParseTimeOfDay(line)) FUZZ_CHECK(*t >= 0 && *t < 86400000);
  }
  return 0;
}
