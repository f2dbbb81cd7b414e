#pragma once
// The parts of the name resolver both backends share: the lookup error codes, the
// checks and the forms of names. Internal to src/platform.

#include <array>
#include <cstdint>
#include <string>

namespace kestran::resolver_common {

// The Windows Sockets codes a failed lookup leaves as the last error.
constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;

// How long waits on a server last at most before a lookup looks whether it has been
// abandoned.
constexpr uint32_t kWaitSliceMs = 100;

// The time-out a lookup gets for the configured value: 0 is the default, and values
// above the maximum are the maximum.
uint32_t EffectiveTimeoutMs(uint32_t timeoutMs);

// s without leading and trailing blanks and control characters.
std::string Trim(const std::string& s);

// False for a name no lookup may be asked for (empty, too long, blanks or controls).
bool SafeName(const std::string& name);

// The name a PTR query asks for: "d.c.b.a.in-addr.arpa" for the address a.b.c.d.
std::string ReverseLookupName(const std::array<uint8_t, 4>& addr);
// "b.a.9.8. ... .0.ip6.arpa": the 32 nibbles of an IPv6 address, least significant first.
std::string ReverseLookupName(const std::array<uint8_t, 16>& addr);

}  // namespace kestran::resolver_common
