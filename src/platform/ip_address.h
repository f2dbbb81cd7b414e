#pragma once
// Client addresses as values and as text. An address is IPv4 or IPv6; an IPv4-mapped IPv6
// address (::ffff:192.0.2.1) is the IPv4 address it carries, so one client has one form
// wherever its address is read, compared, counted or written.
//
// Text forms: dotted decimal for IPv4; RFC 5952 for IPv6 (lower case, no leading zeros,
// the longest run of two or more zero groups compressed, the first of equal runs). The
// address literal of a mail dialogue is "[192.0.2.1]" or "[IPv6:2001:db8::1]".

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestran {

struct TIpAddress {
  bool v6 = false;
  // Network order; an IPv4 address uses the first four bytes.
  std::array<uint8_t, 16> bytes{};

  bool operator==(const TIpAddress&) const = default;
};

TIpAddress IpAddressFromV4(const uint8_t bytes[4]);
// Sixteen bytes of an IPv6 socket address; an IPv4-mapped one gives the IPv4 address.
TIpAddress IpAddressFromV6(const uint8_t bytes[16]);

// The four bytes of "a.b.c.d" (four decimal numbers 0..255 of one to three digits);
// strict also refuses a number written with a leading zero ("01").
bool ParseIPv4Bytes(std::string_view text, uint8_t out[4], bool strict = false);
// The sixteen bytes of an IPv6 text (hexadecimal groups, one "::", an optional dotted
// IPv4 tail, read as ParseIPv4Bytes reads it with strict); no brackets, prefix or zone.
bool ParseIPv6Bytes(std::string_view text, uint8_t out[16], bool strict = false);

// Reads "a.b.c.d" (four decimal numbers 0..255) or an IPv6 text (hexadecimal groups,
// one "::", an optional dotted IPv4 tail). Blanks, brackets, prefixes and zone indices
// are not part of an address. Nothing when the text is not an address.
std::optional<TIpAddress> ParseIpAddress(std::string_view text);

// Dotted decimal or the RFC 5952 form.
std::string FormatIpAddress(const TIpAddress& address);

// The canonical text of an address text ("::FFFF:192.0.2.1" gives "192.0.2.1",
// "2001:DB8:0:0::1" gives "2001:db8::1"); a text that is no address comes back unchanged.
std::string CanonicalAddressText(const std::string& text);

// True for a text that reads as an IPv6 (not IPv4-mapped) address.
bool IsIPv6AddressText(const std::string& text);

// The address literal of a mail dialogue for an address text: "[IPv6:" + text + "]" for
// an IPv6 address, "[" + text + "]" otherwise.
std::string AddressLiteral(const std::string& text);

// The inside of an address literal, "192.0.2.1" or "IPv6:2001:db8::1" (the tag in any
// case), with or without its brackets; nothing when it is no literal.
std::optional<TIpAddress> ParseAddressLiteral(std::string_view text);

// The address reversed for a lookup under a zone: "1.2.0.192" for 192.0.2.1; for IPv6
// the 32 hexadecimal digits, least significant first, joined by "." (the form under
// ip6.arpa and under an IPv6 block list).
std::string ReversedAddressName(const TIpAddress& address);

// The first bits of the address kept, the rest cleared (bits above the address's length
// keep it whole).
TIpAddress MaskedAddress(const TIpAddress& address, unsigned bits);

}  // namespace kestran
