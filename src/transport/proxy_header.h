#pragma once
// The PROXY header a load balancer sends before the client's own bytes (HAProxy's PROXY
// protocol): version 1, one text line of at most 107 bytes ("PROXY TCP4 192.0.2.1
// 198.51.100.2 51234 25" CR LF), or version 2, a binary header (a 12-byte signature, a
// version and command byte, a family and transport byte, a 16-bit length and that many
// bytes of addresses and extensions).
//
// The parser reads as much as it is given and says whether the header is complete, needs
// more bytes, or cannot be one; it never looks beyond the header's own length, so what a
// client sent right behind it is left to the session.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestran {

enum class TProxyFamily : uint8_t { Unspecified, IPv4, IPv6 };

struct TProxyHeader {
  int Version = 0;  // 1 or 2
  // No client address: a version 2 LOCAL (the balancer's own check) or a version 1
  // UNKNOWN line. The connection's own addresses stand.
  bool Local = false;
  TProxyFamily Family = TProxyFamily::Unspecified;
  // Network byte order; an IPv4 address takes the first four bytes.
  std::array<uint8_t, 16> Source{};
  std::array<uint8_t, 16> Destination{};
  uint16_t SourcePort = 0;
  uint16_t DestinationPort = 0;
};

enum class TProxyStatus { NeedMore, Complete, Invalid };

enum class TProxyError {
  None,
  Missing,      // the bytes begin with neither signature
  Malformed,    // a signature, then something no header holds
  TooLong,      // a version 1 line without its CR LF in 107 bytes
  Unsupported,  // a well-formed header for a family or transport other than TCP over IP
  Truncated,    // the connection ended inside the header
};

struct TProxyParse {
  TProxyStatus Status = TProxyStatus::NeedMore;
  TProxyError Error = TProxyError::None;
  // Bytes of the whole header once complete.
  size_t Length = 0;
  TProxyHeader Header;
};

// The longest version 1 line, CR LF included.
constexpr size_t kProxyV1MaxLength = 107;
// The fixed part of a version 2 header.
constexpr size_t kProxyV2FixedLength = 16;

// Reads the header at the start of data.
TProxyParse ParseProxyHeader(std::string_view data);

// A short English text for the event log ("no PROXY header", ...).
const char* ProxyErrorText(TProxyError error);

// Dotted IPv4 text ("192.0.2.1") and IPv6 text ("2001:db8::1") to bytes in network
// order; false when the text is not exactly one address of that kind (no leading zeros
// in IPv4 numbers, no zone, no surrounding blanks).
bool ParseIPv4Text(std::string_view text, uint8_t out[4]);
bool ParseIPv6Text(std::string_view text, uint8_t out[16]);

}  // namespace kestran
