#pragma once
// The account a service runs under on this system, and the hand-over of its data root.
// Without an account of its own a service runs as the system account "kestran" with
// group "kestran", never as root.

#include <string>
#include <vector>

namespace kestran {

inline constexpr const char* kDefaultServiceAccount = "kestran";

struct TServiceAccount {
  std::string User;
  std::string Group;  // empty: the user's primary group
  bool Default = false;
};

// The account of a configured name: a "DOMAIN\" or ".\" prefix is dropped, and an empty
// name or LocalSystem gives the default account.
TServiceAccount ServiceAccount(const std::string& configured);

// Run as root: makes the default account when it is missing (a system account with its
// own group, the data root as home and no login shell). Run by anyone else: makes
// nothing. False, with the last error set, when the account does not exist and cannot
// be made. Lines for the user about what was done, or not, are appended to notes.
bool EnsureServiceAccount(const TServiceAccount& account, const std::string& dataRoot,
                          std::vector<std::string>& notes);

// Run as root: hands the data root with everything in it to the account (directories
// 0750, files 0640), never following a link found in it (HandOverTree). Run by anyone else: changes
// nothing. False, with the last error set, when that fails.
bool HandOverDataRoot(const TServiceAccount& account, const std::string& dataRoot,
                      std::vector<std::string>& notes);

}  // namespace kestran
