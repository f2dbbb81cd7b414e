// Network ranges of the relay, black and white lists.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "smtp/subnet.h"
#include "targets/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // "range|address": the range as configured, then an address to look up.
  const size_t bar = text.find('|');
  const std::string range = text.substr(0, bar);
  const std::string ip = bar == std::string::npos ? "10.1.2.3" : text.substr(bar + 1);

  const uint32_t mask = kestran::MaskFromBits(range);
  // A mask is a run of leading one bits.
  FUZZ_CHECK((~mask & (~mask + 1u)) == 0 || mask == 0);
  (void)kestran::ParseIP(range);

  std::vector<kestran::TNetRange> list;
  if (auto net = kestran::ParseNet(range)) {
    // IPv6 ranges are checked by their prefix length; the rest holds for IPv4 ones.
    if (net->IPv6) {
      FUZZ_CHECK(net->Bits6 >= 1 && net->Bits6 <= 128);
      return 0;
    }
    FUZZ_CHECK(net->Mask != 0);
    FUZZ_CHECK((net->Network & net->Mask) == net->Network);
    FUZZ_CHECK((~net->Mask & (~net->Mask + 1u)) == 0);
    list.push_back(*net);
    // A text with a colon is an IPv6 address (or none), never the IPv4 one that the
    // lenient dotted reader may find at its start.
    const uint32_t a = kestran::ParseIP(ip);
    if (a != 0 && ip.find(':') == std::string::npos)
      FUZZ_CHECK(kestran::InNetList(ip, list) == ((a & net->Mask) == net->Network));
  }
  (void)kestran::InNetList(ip, list);
  return 0;
}
