#include "platform/ip_address.h"

#include <cstring>

namespace kestran {
namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

bool ParseIPv4Bytes(std::string_view text, uint8_t out[4], bool strict) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    size_t n = 0;
    unsigned value = 0;
    while (n < text.size() && n < 4 && text[n] >= '0' && text[n] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[n] - '0');
      ++n;
    }
    if (n == 0 || n > 3 || value > 255 || (strict && n > 1 && text[0] == '0')) return false;
    out[i] = static_cast<uint8_t>(value);
    text.remove_prefix(n);
  }
  return text.empty();
}

bool ParseIPv6Bytes(std::string_view text, uint8_t out[16], bool strict) {
  uint8_t head[16] = {};
  uint8_t tail[16] = {};
  size_t headLen = 0;
  size_t tailLen = 0;
  bool compressed = false;
  if (text.substr(0, 2) == "::") {
    compressed = true;
    text.remove_prefix(2);
  } else if (!text.empty() && text.front() == ':') {
    return false;
  }
  while (!text.empty()) {
    uint8_t* part = compressed ? tail : head;
    size_t& len = compressed ? tailLen : headLen;
    // A dotted IPv4 tail ends the text.
    size_t colon = text.find(':');
    std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
      if (len + 4 > 16 || !ParseIPv4Bytes(group, part + len, strict)) return false;
      len += 4;
      text = {};
      break;
    }
    if (group.empty() || group.size() > 4 || len + 2 > 16) return false;
    unsigned value = 0;
    for (char c : group) {
      int h = HexValue(c);
      if (h < 0) return false;
      value = value * 16 + static_cast<unsigned>(h);
    }
    part[len++] = static_cast<uint8_t>(value >> 8);
    part[len++] = static_cast<uint8_t>(value & 0xffu);
    if (colon == std::string_view::npos) {
      text = {};
      break;
    }
    text.remove_prefix(colon + 1);
    if (!text.empty() && text.front() == ':') {
      if (compressed) return false;
      compressed = true;
      text.remove_prefix(1);
    } else if (text.empty()) {
      return false;  // a single trailing colon
    }
  }
  if (compressed) {
    // "::" stands for at least one zero group.
    if (headLen + tailLen > 14) return false;
  } else if (headLen != 16) {
    return false;
  }
  std::memset(out, 0, 16);
  std::memcpy(out, head, headLen);
  std::memcpy(out + 16 - tailLen, tail, tailLen);
  return true;
}

TIpAddress IpAddressFromV4(const uint8_t bytes[4]) {
  TIpAddress a;
  std::memcpy(a.bytes.data(), bytes, 4);
  return a;
}

TIpAddress IpAddressFromV6(const uint8_t bytes[16]) {
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0)
    return IpAddressFromV4(bytes + 12);
  TIpAddress a;
  a.v6 = true;
  std::memcpy(a.bytes.data(), bytes, 16);
  return a;
}

std::optional<TIpAddress> ParseIpAddress(std::string_view text) {
  uint8_t bytes[16];
  if (text.find(':') == std::string_view::npos) {
    if (!ParseIPv4Bytes(text, bytes)) return std::nullopt;
    return IpAddressFromV4(bytes);
  }
  if (!ParseIPv6Bytes(text, bytes)) return std::nullopt;
  return IpAddressFromV6(bytes);
}

std::string FormatIpAddress(const TIpAddress& address) {
  const auto& b = address.bytes;
  if (!address.v6) {
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
  }
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = (unsigned{b[2 * i]} << 8) | b[2 * i + 1];
  // The longest run of at least two zero groups; the first of equal runs.
  int bestStart = -1;
  int bestLen = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLen) {
      bestStart = i;
      bestLen = j - i;
    }
    i = j;
  }
  std::string out;
  out.reserve(39);
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    char buf[4];
    int n = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
      unsigned digit = (groups[i] >> shift) & 0xfu;
      if (n == 0 && digit == 0 && shift > 0) continue;
      buf[n++] = kHexDigits[digit];
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string CanonicalAddressText(const std::string& text) {
  auto a = ParseIpAddress(text);
  return a ? FormatIpAddress(*a) : text;
}

bool IsIPv6AddressText(const std::string& text) {
  if (text.find(':') == std::string::npos) return false;
  auto a = ParseIpAddress(text);
  return a && a->v6;
}

std::string AddressLiteral(const std::string& text) {
  return IsIPv6AddressText(text) ? "[IPv6:" + text + "]" : "[" + text + "]";
}

std::optional<TIpAddress> ParseAddressLiteral(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  if (text.size() > 5 && (text[0] == 'I' || text[0] == 'i') && (text[1] == 'P' || text[1] == 'p') &&
      (text[2] == 'V' || text[2] == 'v') && text[3] == '6' && text[4] == ':') {
    uint8_t bytes[16];
    if (!ParseIPv6Bytes(text.substr(5), bytes)) return std::nullopt;
    return IpAddressFromV6(bytes);
  }
  if (text.find(':') != std::string_view::npos) return std::nullopt;
  return ParseIpAddress(text);
}

std::string ReversedAddressName(const TIpAddress& address) {
  const auto& b = address.bytes;
  if (!address.v6) {
    return std::to_string(b[3]) + "." + std::to_string(b[2]) + "." + std::to_string(b[1]) + "." +
           std::to_string(b[0]);
  }
  std::string out;
  out.reserve(63);
  for (int i = 15; i >= 0; --i) {
    if (!out.empty()) out += '.';
    out += kHexDigits[b[i] & 0xfu];
    out += '.';
    out += kHexDigits[b[i] >> 4];
  }
  return out;
}

TIpAddress MaskedAddress(const TIpAddress& address, unsigned bits) {
  TIpAddress out = address;
  const unsigned length = address.v6 ? 128 : 32;
  for (unsigned i = 0; i < length / 8; ++i) {
    unsigned start = i * 8;
    if (bits >= start + 8) continue;
    unsigned keep = bits > start ? bits - start : 0;
    out.bytes[i] &= static_cast<uint8_t>(0xffu << (8 - keep));
  }
  return out;
}

}  // namespace kestran
