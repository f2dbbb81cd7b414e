#include "transport/proxy_address.h"

#include <cstdio>

namespace kestran {
namespace {

std::string DottedText(const uint8_t* b) {
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

bool IsIPv4Mapped(const uint8_t* b) {
  for (int i = 0; i < 10; ++i)
    if (b[i] != 0) return false;
  return b[10] == 0xff && b[11] == 0xff;
}

std::string IPv6Text(const uint8_t* b) {
  uint16_t words[8];
  for (int i = 0; i < 8; ++i) words[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of two or more zero groups, the first of equal ones.
  int bestStart = -1, bestLen = 1;
  for (int i = 0; i < 8;) {
    if (words[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && words[j] == 0) ++j;
    if (j - i > bestLen) {
      bestStart = i;
      bestLen = j - i;
    }
    i = j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    char group[5];
    std::snprintf(group, sizeof group, "%x", words[i]);
    out += group;
  }
  return out;
}

}  // namespace

std::string ProxiedClientAddress(const TProxyHeader& header) {
  const uint8_t* b = header.Source.data();
  if (header.Family == TProxyFamily::IPv4) return DottedText(b);
  if (IsIPv4Mapped(b)) return DottedText(b + 12);
  return IPv6Text(b);
}

}  // namespace kestran
