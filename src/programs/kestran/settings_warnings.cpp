#include "programs/kestran/settings_warnings.h"

#include "config/setting_catalogue.h"
#include "smtp/subnet.h"

namespace kestran {
namespace {

void RangeWarnings(const TStringList& texts, const char* key, TStringList& warnings) {
  for (const auto& text : texts) {
    auto range = ParseNet(text);
    if (range && HasBitsOutsideMask(text))
      warnings.push_back("The range '" + text + "' in '" + key +
                         "' has address bits outside its mask and is taken as " +
                         FormatNet(*range));
  }
}

}  // namespace

uint32_t EffectiveIPv6PrefixLength(const TReceiverSettings& s) {
  return s.IPv6PrefixLength >= 1 && s.IPv6PrefixLength <= 128 ? s.IPv6PrefixLength
                                                              : kDefaultIPv6PrefixLength;
}

TStringList SettingsWarnings(const TReceiverSettings& s) {
  TStringList warnings = UnknownSettingWarnings();
  if (s.DoLocalNets) RangeWarnings(s.LocalNets, "LocalNets", warnings);
  RangeWarnings(s.LocalBlackList, "LocalBlackList", warnings);
  RangeWarnings(s.WhiteList, "WhiteList", warnings);
  RangeWarnings(s.ProxyNets, "ProxyNets", warnings);
  RangeWarnings(s.RateLimitExempt, "RateLimitExempt", warnings);
  if (EffectiveIPv6PrefixLength(s) != s.IPv6PrefixLength)
    warnings.push_back("The prefix length " + std::to_string(s.IPv6PrefixLength) +
                       " in 'IPv6PrefixLength' is outside 1 to 128 and is taken as " +
                       std::to_string(kDefaultIPv6PrefixLength));
  return warnings;
}

}  // namespace kestran
