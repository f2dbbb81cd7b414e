#include "smtp/client_key.h"

#include <cstring>

#include "platform/ip_address.h"

namespace kestran {

size_t TClientKeyHash::operator()(const TClientKey& key) const noexcept {
  // FNV-1a over the bytes, then mixed, so that neighbouring addresses spread.
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : key.Bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  h ^= h >> 29;
  return static_cast<size_t>(h);
}

std::optional<TClientKey> ClientKeyOf(const std::string& address, unsigned ipv6PrefixLength) {
  auto a = ParseIpAddress(address);
  if (!a) return std::nullopt;
  TClientKey key;
  if (!a->v6) {
    key.Bytes[0] = 4;
    std::memcpy(key.Bytes.data() + 1, a->bytes.data(), 4);
    return key;
  }
  const unsigned bits = ipv6PrefixLength >= 1 && ipv6PrefixLength <= 128 ? ipv6PrefixLength : 64;
  const TIpAddress masked = MaskedAddress(*a, bits);
  key.Bytes[0] = 6;
  std::memcpy(key.Bytes.data() + 1, masked.bytes.data(), 16);
  key.Bytes[17] = static_cast<uint8_t>(bits);
  return key;
}

std::string FormatClientKey(const TClientKey& key) {
  if (key.Bytes[0] == 4) return FormatIpAddress(IpAddressFromV4(key.Bytes.data() + 1));
  TIpAddress a;
  a.v6 = true;
  std::memcpy(a.bytes.data(), key.Bytes.data() + 1, 16);
  return FormatIpAddress(a) + "/" + std::to_string(key.Bytes[17]);
}

}  // namespace kestran
