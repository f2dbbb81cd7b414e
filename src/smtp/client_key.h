#pragma once
// The key under which the receiver counts one client: its IPv4 address as is, or the
// first IPv6PrefixLength bits of its IPv6 address (one holder of a /64 can use any
// address in it). An IPv4-mapped IPv6 address is the IPv4 client it carries. Behind a
// load balancer the address is the one its PROXY header named. The key is a fixed-size
// value, so that a table of keys allocates nothing per key beyond its own node.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestran {

struct TClientKey {
  // Byte 0: 4 or 6; then the four IPv4 bytes, or the masked sixteen IPv6 bytes; byte 17
  // the prefix length of an IPv6 key.
  std::array<uint8_t, 18> Bytes{};
  bool operator==(const TClientKey&) const = default;
};

struct TClientKeyHash {
  size_t operator()(const TClientKey& key) const noexcept;
};

// The key of a client address text; nothing when the text is no address.
std::optional<TClientKey> ClientKeyOf(const std::string& address, unsigned ipv6PrefixLength);

// The key as text: "192.0.2.1" or "2001:db8:1:2::/64".
std::string FormatClientKey(const TClientKey& key);

}  // namespace kestran
