#pragma once
// Network ranges of the relay, black and white lists: an address, a slash and a prefix
// length ("192.168.1.0/24", "2001:db8::/32"). IPv4 addresses are 32-bit values whose most
// significant byte is the first dotted number (10.1.2.3 is 0x0A010203). An IPv4 range
// never holds an IPv6 client, nor an IPv6 range an IPv4 one; an IPv4-mapped IPv6 client
// is the IPv4 client it carries.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestran {

struct TNetRange {
  uint32_t Network = 0;  // already masked; IPv4 ranges only
  uint32_t Mask = 0;
  bool IPv6 = false;
  std::array<uint8_t, 16> Network6{};  // already masked; IPv6 ranges only
  uint8_t Bits6 = 0;                   // 1..128
};

// Reads four dotted numbers, keeping the low eight bits of each; a missing number
// repeats the last one read ("10.1" is 10.1.1.1), numbers after the fourth are ignored.
// 0 when a part is empty or not a decimal number.
uint32_t ParseIP(const std::string& text);

// The mask of a prefix length given as decimal text (low eight bits used): 0 gives 0,
// 1..32 give that many leading one bits. Unreadable text and lengths above 32 give 0.
uint32_t MaskFromBits(const std::string& text);

// "address/bits" as a range; nothing when there is no slash, the address reads as 0 or
// the mask is 0 (so a range covering every address cannot be configured). An address
// with a ":" is an IPv6 address with a prefix length of 1 to 128; the unspecified
// address "::" is refused like 0.0.0.0, and an IPv4-mapped range of at least 96 bits is
// the IPv4 range it maps.
std::optional<TNetRange> ParseNet(const std::string& text);

// The range as text: the network, a slash and the prefix length ("0.0.0.0/1",
// "2001:db8::/32").
std::string FormatNet(const TNetRange& range);

// True for a valid range text whose address has bits outside its mask ("1.2.3.4/1",
// which stands for 0.0.0.0/1).
bool HasBitsOutsideMask(const std::string& text);

// True when the client address (dotted, or IPv6 text) lies in one of the ranges.
bool InNetList(const std::string& ip, const std::vector<TNetRange>& list);

}  // namespace kestran
