#pragma once
// Every value name the programs read from their own key, in one place: the receiver's
// settings with how each one's effective value is shown, the names kestran-deliver
// reads, and the counter. A name in the key that is none of these is a setting neither
// program knows (most likely misspelt): the start warns about it, naming the closest
// known name, and -CHECK lists it.
//
// A new setting is one more line in the tables of setting_catalogue.cpp.

#include <functional>
#include <string>
#include <vector>

#include "config/receiver_settings.h"

namespace kestran {

struct TSettingEntry {
  const char* Name;
  // The effective value as -CHECK prints it: numbers in decimal, switches "on" or
  // "off", texts in double quotes.
  std::function<std::string(const TReceiverSettings&)> Show;
};

// The receiver's values of the own key, in the order the loader reads them.
const std::vector<TSettingEntry>& ReceiverSettingEntries();
// The value-list subkeys of the own key, with the list each one fills.
struct TListEntry {
  const char* Name;
  const TStringList TReceiverSettings::*List;
};
const std::vector<TListEntry>& ReceiverListEntries();
// kestran-deliver's values of the own key.
const std::vector<std::string>& DeliverSettingNames();

// A value of the own key as -CHECK shows it, without knowing its type: "\"text\"
// (registry)" or "42 (registry)"; "unreadable (...)" when it is neither; "" when the key
// or the value is missing.
std::string ShowOwnValue(const std::string& name);

// Whether either program reads the value name from the own key (letter case aside, as
// the registry compares names).
bool IsKnownSetting(const std::string& name);
// The known name closest to name in spelling, "" when none is close enough to be meant.
std::string ClosestKnownSetting(const std::string& name);
// "unknown setting 'Esmpt'; did you mean 'ESMTP'?", or without the question when no
// known name is close.
std::string UnknownSettingWarning(const std::string& name);
// The warnings for the value names of the own key that neither program knows, in the
// registry's order; empty when the key does not open.
std::vector<std::string> UnknownSettingWarnings();

}  // namespace kestran
