// The PROXY header a load balancer sends first, and the client address text made from it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "targets/fuzz_check.h"
#include "transport/proxy_address.h"
#include "transport/proxy_header.h"

using kestran::TProxyFamily;
using kestran::TProxyStatus;

namespace {

// The text of a source address reads back as the same address.
void CheckAddressText(const kestran::TProxyHeader& h) {
  const std::string text = kestran::ProxiedClientAddress(h);
  FUZZ_CHECK(!text.empty() && text.size() <= 39);
  uint8_t back[16] = {};
  if (text.find(':') == std::string::npos) {
    FUZZ_CHECK(kestran::ParseIPv4Text(text, back));
    const uint8_t* v4 = h.Family == TProxyFamily::IPv4 ? h.Source.data() : h.Source.data() + 12;
    FUZZ_CHECK(std::memcmp(back, v4, 4) == 0);
    return;
  }
  FUZZ_CHECK(h.Family == TProxyFamily::IPv6);
  FUZZ_CHECK(kestran::ParseIPv6Text(text, back));
  FUZZ_CHECK(std::memcmp(back, h.Source.data(), 16) == 0);
  for (char c : text) FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const kestran::TProxyParse p = kestran::ParseProxyHeader(input);
  switch (p.Status) {
    case TProxyStatus::Complete: {
      FUZZ_CHECK(p.Length > 0 && p.Length <= size);
      // The header ends where it says: what follows does not change it, and one byte
      // less is not a header yet.
      const kestran::TProxyParse alone =
          kestran::ParseProxyHeader(std::string_view(input).substr(0, p.Length));
      FUZZ_CHECK(alone.Status == TProxyStatus::Complete && alone.Length == p.Length);
      FUZZ_CHECK(alone.Header.Source == p.Header.Source && alone.Header.Local == p.Header.Local);
      FUZZ_CHECK(kestran::ParseProxyHeader(input.substr(0, p.Length - 1)).Status ==
                 TProxyStatus::NeedMore);
      if (p.Header.Version == 1) FUZZ_CHECK(p.Length <= kestran::kProxyV1MaxLength);
      if (!p.Header.Local) CheckAddressText(p.Header);
      break;
    }
    case TProxyStatus::Invalid: {
      // A refusal never turns into a header with more bytes.
      const kestran::TProxyParse more = kestran::ParseProxyHeader(input + "\r\n");
      FUZZ_CHECK(more.Status == TProxyStatus::Invalid && more.Error == p.Error);
      break;
    }
    case TProxyStatus::NeedMore:
      FUZZ_CHECK(size < kestran::kProxyV2FixedLength + 65535);
      if (size > 0 && data[0] == 'P') FUZZ_CHECK(size < kestran::kProxyV1MaxLength);
      break;
  }
  // The input as address text: what parses formats to a text that parses the same.
  kestran::TProxyHeader h;
  h.Family = TProxyFamily::IPv6;
  if (kestran::ParseIPv6Text(input, h.Source.data())) CheckAddressText(h);
  h.Family = TProxyFamily::IPv4;
  if (kestran::ParseIPv4Text(input, h.Source.data())) CheckAddressText(h);
  return 0;
}
