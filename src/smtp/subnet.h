#pragma once
// Network ranges of the relay, black and white lists: a dotted address, a slash and a
// prefix length ("192.168.1.0/24"). Addresses are 32-bit values whose most significant
// byte is the first dotted number (10.1.2.3 is 0x0A010203).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestran {

struct TNetRange {
  uint32_t Network;  // already masked
  uint32_t Mask;
};

// Reads four dotted numbers, keeping the low eight bits of each; a missing number
// repeats the last one read ("10.1" is 10.1.1.1), numbers after the fourth are ignored.
// 0 when a part is empty or not a decimal number.
uint32_t ParseIP(const std::string& text);

// The mask of a prefix length given as decimal text (low eight bits used): 0 gives 0,
// 1..32 give that many leading one bits. Unreadable text and lengths above 32 give 0.
uint32_t MaskFromBits(const std::string& text);

// "address/bits" as a range; nothing when there is no slash, the address reads as 0 or
// the mask is 0 (so a range covering every address cannot be configured).
std::optional<TNetRange> ParseNet(const std::string& text);

// The range as text: the dotted network, a slash and the prefix length ("0.0.0.0/1").
std::string FormatNet(const TNetRange& range);

// True for a valid range text whose address has bits outside its mask ("1.2.3.4/1",
// which stands for 0.0.0.0/1).
bool HasBitsOutsideMask(const std::string& text);

// True when the dotted address lies in one of the ranges.
bool InNetList(const std::string& ip, const std::vector<TNetRange>& list);

}  // namespace kestran
