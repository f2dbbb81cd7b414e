#include "transport/proxy_header.h"

#include <algorithm>
#include <vector>

#include "platform/ip_address.h"

namespace kestran {
namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::string_view kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

// Version 2: the command (low nibble of byte 12), family (high nibble of byte 13) and
// transport (its low nibble).
constexpr uint8_t kCommandLocal = 0x0;
constexpr uint8_t kCommandProxy = 0x1;
constexpr uint8_t kFamilyUnspec = 0x0;
constexpr uint8_t kFamilyInet = 0x1;
constexpr uint8_t kFamilyInet6 = 0x2;
constexpr uint8_t kFamilyUnix = 0x3;
constexpr uint8_t kTransportStream = 0x1;
// The address block of each family: two addresses, then two 16-bit ports.
constexpr size_t kInetBlock = 12;
constexpr size_t kInet6Block = 36;

TProxyParse Failed(TProxyError error) {
  TProxyParse p;
  p.Status = TProxyStatus::Invalid;
  p.Error = error;
  return p;
}

TProxyParse Done(size_t length, const TProxyHeader& header) {
  TProxyParse p;
  p.Status = TProxyStatus::Complete;
  p.Length = length;
  p.Header = header;
  return p;
}

// A decimal number of 1 to maxDigits digits, without a leading zero (but "0"), at most max.
bool ParseDecimal(std::string_view text, size_t maxDigits, uint32_t max, uint32_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > max) return false;
  value = v;
  return true;
}

std::vector<std::string_view> SplitOn(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(sep, start);
    if (p == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, p - start));
    start = p + 1;
  }
}

TProxyParse ParseV1(std::string_view data) {
  const size_t window = std::min(data.size(), kProxyV1MaxLength);
  const size_t crlf = data.substr(0, window).find("\r\n");
  if (crlf == std::string_view::npos) {
    // A line ends in CR LF; a CR at the very end may still get its LF.
    if (data.size() >= kProxyV1MaxLength) return Failed(TProxyError::TooLong);
    return TProxyParse{};
  }
  const std::string_view line = data.substr(0, crlf);
  const size_t length = crlf + 2;
  std::vector<std::string_view> words = SplitOn(line, ' ');
  TProxyHeader h;
  h.Version = 1;
  if (words.size() >= 2 && words[1] == "UNKNOWN") {
    // Whatever follows UNKNOWN on the line is of no account.
    h.Local = true;
    return Done(length, h);
  }
  if (words.size() != 6) return Failed(TProxyError::Malformed);
  bool ok = false;
  if (words[1] == "TCP4") {
    h.Family = TProxyFamily::IPv4;
    ok = ParseIPv4Text(words[2], h.Source.data()) && ParseIPv4Text(words[3], h.Destination.data());
  } else if (words[1] == "TCP6") {
    h.Family = TProxyFamily::IPv6;
    ok = ParseIPv6Text(words[2], h.Source.data()) && ParseIPv6Text(words[3], h.Destination.data());
  }
  uint32_t sport = 0, dport = 0;
  if (!ok || !ParseDecimal(words[4], 5, 65535, sport) || !ParseDecimal(words[5], 5, 65535, dport))
    return Failed(TProxyError::Malformed);
  h.SourcePort = static_cast<uint16_t>(sport);
  h.DestinationPort = static_cast<uint16_t>(dport);
  return Done(length, h);
}

TProxyParse ParseV2(std::string_view data) {
  if (data.size() < kProxyV2FixedLength) return TProxyParse{};
  const auto* b = reinterpret_cast<const uint8_t*>(data.data());
  const uint8_t version = b[12] >> 4;
  const uint8_t command = b[12] & 0x0f;
  const uint8_t family = b[13] >> 4;
  const uint8_t transport = b[13] & 0x0f;
  const size_t rest = static_cast<size_t>(b[14]) << 8 | b[15];
  if (version != 2 || (command != kCommandLocal && command != kCommandProxy))
    return Failed(TProxyError::Malformed);
  TProxyHeader h;
  h.Version = 2;
  // What cannot be used is known from the fixed part: no need to wait for the rest.
  size_t block = 0;
  if (command == kCommandProxy) {
    if (family == kFamilyInet) {
      block = kInetBlock;
    } else if (family == kFamilyInet6) {
      block = kInet6Block;
    } else if (family == kFamilyUnspec || family == kFamilyUnix) {
      return Failed(TProxyError::Unsupported);
    } else {
      return Failed(TProxyError::Malformed);
    }
    if (rest < block) return Failed(TProxyError::Malformed);
    if (transport != kTransportStream) return Failed(TProxyError::Unsupported);
  }
  const size_t length = kProxyV2FixedLength + rest;
  if (data.size() < length) return TProxyParse{};
  if (command == kCommandLocal) {
    // The balancer speaks for itself; the address block, if any, is skipped.
    h.Local = true;
    return Done(length, h);
  }
  // The addresses come first; extensions (type-length-value records) after them are
  // skipped.
  const uint8_t* a = b + kProxyV2FixedLength;
  const size_t size = family == kFamilyInet ? 4 : 16;
  h.Family = family == kFamilyInet ? TProxyFamily::IPv4 : TProxyFamily::IPv6;
  std::copy(a, a + size, h.Source.begin());
  std::copy(a + size, a + 2 * size, h.Destination.begin());
  const uint8_t* ports = a + 2 * size;
  h.SourcePort = static_cast<uint16_t>(ports[0] << 8 | ports[1]);
  h.DestinationPort = static_cast<uint16_t>(ports[2] << 8 | ports[3]);
  return Done(length, h);
}

}  // namespace

// A header's addresses are written without leading zeros in their dotted numbers.
bool ParseIPv4Text(std::string_view text, uint8_t out[4]) {
  uint8_t bytes[4];
  if (!ParseIPv4Bytes(text, bytes, true)) return false;
  std::copy(bytes, bytes + 4, out);
  return true;
}

bool ParseIPv6Text(std::string_view text, uint8_t out[16]) {
  return ParseIPv6Bytes(text, out, true);
}

TProxyParse ParseProxyHeader(std::string_view data) {
  if (data.empty()) return TProxyParse{};
  const size_t v1 = std::min(data.size(), kV1Prefix.size());
  if (data.substr(0, v1) == kV1Prefix.substr(0, v1))
    return v1 < kV1Prefix.size() ? TProxyParse{} : ParseV1(data);
  const size_t v2 = std::min(data.size(), kV2Signature.size());
  if (data.substr(0, v2) == kV2Signature.substr(0, v2))
    return v2 < kV2Signature.size() ? TProxyParse{} : ParseV2(data);
  return Failed(TProxyError::Missing);
}

const char* ProxyErrorText(TProxyError error) {
  switch (error) {
    case TProxyError::None:
      return "no error";
    case TProxyError::Missing:
      return "no PROXY header";
    case TProxyError::Malformed:
      return "malformed PROXY header";
    case TProxyError::TooLong:
      return "PROXY line longer than 107 bytes";
    case TProxyError::Unsupported:
      return "PROXY header for an unsupported address family or transport";
    case TProxyError::Truncated:
      return "connection closed inside the PROXY header";
  }
  return "";
}

}  // namespace kestran
