#pragma once
// Local user names from the host server's aliases and mailing lists.

#include "config/receiver_settings.h"

namespace kestran {

// Clears LocalUsers, then appends the trimmed, non-empty Alias value of every subkey of
// the host's Aliases key, then every subkey name N of its Lists key as N and
// N + "-request". Registry errors pass through.
void LoadHostAliasesAndLists(TReceiverSettings& s = ReceiverSettings);

}  // namespace kestran
