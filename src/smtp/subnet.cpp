#include "smtp/subnet.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/ip_address.h"

namespace kestran {
namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A decimal 32-bit integer: leading blanks, an optional sign, at least one digit and
// nothing after it.
std::optional<int32_t> ReadInteger(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return std::nullopt;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
    v = v * 10 + (s[i] - '0');
    if (v > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

// The address part of an IPv6 range text and its prefix length.
std::optional<std::pair<TIpAddress, unsigned>> ReadNet6(std::string_view s, size_t slash) {
  auto address = ParseIpAddress(Trimmed(s.substr(0, slash)));
  auto bits = ReadInteger(s.substr(slash + 1));
  if (!address || !bits || *bits < 1 || *bits > 128) return std::nullopt;
  return std::make_pair(*address, static_cast<unsigned>(*bits));
}

std::optional<TNetRange> ParseNet6(std::string_view s, size_t slash) {
  auto net = ReadNet6(s, slash);
  if (!net) return std::nullopt;
  auto [address, bits] = *net;
  TNetRange r;
  if (!address.v6) {
    // ::ffff:a.b.c.d/n is the IPv4 range a.b.c.d/(n - 96).
    if (bits <= 96) return std::nullopt;
    bits -= 96;
    const auto& b = address.bytes;
    uint32_t v = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    r.Mask = ~uint32_t{0} << (32 - bits);
    if (v == 0) return std::nullopt;
    r.Network = v & r.Mask;
    return r;
  }
  if (address.bytes == std::array<uint8_t, 16>{}) return std::nullopt;
  r.IPv6 = true;
  r.Bits6 = static_cast<uint8_t>(bits);
  r.Network6 = MaskedAddress(address, bits).bytes;
  return r;
}

}  // namespace

uint32_t ParseIP(const std::string& text) {
  std::string_view rest = Trimmed(text);
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    std::string_view part = rest;
    size_t dot = rest.find('.');
    if (dot != std::string_view::npos) {
      part = rest.substr(0, dot);
      rest.remove_prefix(dot + 1);
    }
    auto n = ReadInteger(part);
    if (!n) return 0;
    value = (value << 8) | (static_cast<uint32_t>(*n) & 0xFFu);
  }
  return value;
}

uint32_t MaskFromBits(const std::string& text) {
  auto n = ReadInteger(text);
  if (!n) return 0;
  uint32_t bits = static_cast<uint32_t>(*n) & 0xFFu;
  if (bits == 0 || bits > 32) return 0;
  return ~uint32_t{0} << (32 - bits);
}

std::optional<TNetRange> ParseNet(const std::string& text) {
  std::string_view s = Trimmed(text);
  size_t slash = s.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  if (s.substr(0, slash).find(':') != std::string_view::npos) return ParseNet6(s, slash);
  uint32_t address = ParseIP(std::string(s.substr(0, slash)));
  uint32_t mask = MaskFromBits(std::string(s.substr(slash + 1)));
  if (address == 0 || mask == 0) return std::nullopt;
  return TNetRange{address & mask, mask};
}

std::string FormatNet(const TNetRange& range) {
  if (range.IPv6) {
    TIpAddress a;
    a.v6 = true;
    a.bytes = range.Network6;
    return FormatIpAddress(a) + "/" + std::to_string(range.Bits6);
  }
  int bits = 0;
  for (uint32_t m = range.Mask; m != 0; m <<= 1) ++bits;
  const uint32_t n = range.Network;
  return std::to_string(n >> 24) + "." + std::to_string((n >> 16) & 0xFFu) + "." +
         std::to_string((n >> 8) & 0xFFu) + "." + std::to_string(n & 0xFFu) + "/" +
         std::to_string(bits);
}

bool HasBitsOutsideMask(const std::string& text) {
  auto range = ParseNet(text);
  if (!range) return false;
  std::string_view s = Trimmed(text);
  const size_t slash = s.find('/');
  if (s.substr(0, slash).find(':') != std::string_view::npos) {
    auto net = ReadNet6(s, slash);
    const unsigned bits = net->first.v6 ? net->second : net->second - 96;
    return MaskedAddress(net->first, bits) != net->first;
  }
  return ParseIP(std::string(s.substr(0, slash))) != range->Network;
}

bool InNetList(const std::string& ip, const std::vector<TNetRange>& list) {
  uint32_t v = 0;
  std::optional<TIpAddress> v6;
  if (ip.find(':') == std::string::npos) {
    v = ParseIP(ip);
  } else {
    auto a = ParseIpAddress(Trimmed(ip));
    if (!a) return false;
    if (a->v6) {
      v6 = a;
    } else {
      const auto& b = a->bytes;
      v = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    }
  }
  for (const auto& r : list) {
    if (r.IPv6 != v6.has_value()) continue;
    if (!v6) {
      if ((v & r.Mask) == r.Network) return true;
    } else if (MaskedAddress(*v6, r.Bits6).bytes == r.Network6) {
      return true;
    }
  }
  return false;
}

}  // namespace kestran
