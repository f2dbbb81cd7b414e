#include "smtp/subnet.h"

#include <cstdint>
#include <string_view>

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
  uint32_t address = ParseIP(std::string(s.substr(0, slash)));
  uint32_t mask = MaskFromBits(std::string(s.substr(slash + 1)));
  if (address == 0 || mask == 0) return std::nullopt;
  return TNetRange{address & mask, mask};
}

std::string FormatNet(const TNetRange& range) {
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
  return ParseIP(std::string(s.substr(0, s.find('/')))) != range->Network;
}

bool InNetList(const std::string& ip, const std::vector<TNetRange>& list) {
  uint32_t v = ParseIP(ip);
  for (const auto& r : list)
    if ((v & r.Mask) == r.Network) return true;
  return false;
}

}  // namespace kestran
