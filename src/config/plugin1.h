#pragma once
// The plug-in list file: lines of comma-separated names or addresses.

#include <string>

#include "config/receiver_settings.h"

namespace kestran {

// Appends the local part of every item to LocalUsers, or, for an item "NOBODY@domain"
// (any case) with a non-empty domain, the domain to SkipUserVerify. Spaces and double
// quotes are removed; a line whose first character other than a space is ";" is a
// comment. A missing or unreadable file adds nothing; never raises.
void LoadPlugin1List(const std::string& path, TReceiverSettings& s = ReceiverSettings);

// The two halves of LoadPlugin1List, for a list read again while the service runs: the
// whole file (false when it is missing or cannot be read), and the items of a text.
bool ReadPlugin1File(const std::string& path, std::string& contents);
void ParsePlugin1List(const std::string& contents, TReceiverSettings& s);

}  // namespace kestran
