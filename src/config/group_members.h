#pragma once
// Local users from the members of a user group of the system's group database.

#include <string>

#include "config/receiver_settings.h"

namespace kestran {

// The members of the group named by the trimmed group text: the local group's members
// (everything up to a last "\" removed), then the global group's users. Platform
// failures only shorten the list; a missing group gives an empty list.
TStringList GetGroupMembers(const std::string& group);

}  // namespace kestran
