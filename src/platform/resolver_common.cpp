#include "platform/resolver_common.h"

#include "platform/ip_address.h"

#include <atomic>

#include "platform/resolver.h"

namespace kestran {
namespace {

std::atomic<bool> gAbandoned{false};

}  // namespace

void AbandonLookups() {
  gAbandoned.store(true);
}

void ResumeLookups() {
  gAbandoned.store(false);
}

bool LookupsAbandoned() {
  return gAbandoned.load();
}

}  // namespace kestran

namespace kestran::resolver_common {

uint32_t EffectiveTimeoutMs(uint32_t timeoutMs) {
  if (timeoutMs == 0) return kDefaultDnsTimeoutMs;
  return timeoutMs > kMaxDnsTimeoutMs ? kMaxDnsTimeoutMs : timeoutMs;
}

std::string Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool SafeName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) <= 32 || c == 127) return false;
  }
  return true;
}

std::string ReverseLookupName(const std::array<uint8_t, 4>& addr) {
  return std::to_string(addr[3]) + "." + std::to_string(addr[2]) + "." + std::to_string(addr[1]) +
         "." + std::to_string(addr[0]) + ".in-addr.arpa";
}

std::string ReverseLookupName(const std::array<uint8_t, 16>& addr) {
  TIpAddress a;
  a.v6 = true;
  a.bytes = addr;
  return ReversedAddressName(a) + ".ip6.arpa";
}

}  // namespace kestran::resolver_common
