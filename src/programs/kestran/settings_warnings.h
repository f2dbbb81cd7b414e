#pragma once
// The warnings the receiver gives about its settings when it starts (and when it reloads
// them): value names neither program knows, network ranges with address bits outside
// their mask, values outside their range. -CHECK prints the same lines.

#include "config/receiver_settings.h"

namespace kestran {

// The IPv6 prefix length taken when the setting is outside 1 to 128.
inline constexpr uint32_t kDefaultIPv6PrefixLength = 64;

// IPv6PrefixLength as it is used.
uint32_t EffectiveIPv6PrefixLength(const TReceiverSettings& s);

// Every warning about s, and about the value names of the own key, in a fixed order.
TStringList SettingsWarnings(const TReceiverSettings& s);

}  // namespace kestran
