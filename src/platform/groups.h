#pragma once
// The group database, shaped after the network API's group queries: a local group's
// members (as "DOMAIN\name" or a bare name, as the database holds them) and the users
// of a global group. On POSIX the local group is the group's member list (getgrnam_r),
// the global group's users are the accounts whose primary group it is (getpwent).
// There is no domain controller.

#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

// Windows result codes of the group queries.
constexpr uint32_t kNerrSuccess = 0;
constexpr uint32_t kNerrGroupNotFound = 2220;
constexpr uint32_t kErrorNoSuchAlias = 1376;

// Members of a local group, appended to members; kErrorNoSuchAlias when there is no
// such group.
uint32_t LocalGroupMembers(const std::string& group, std::vector<std::string>& members);
// Users of a global group, appended to users; kNerrGroupNotFound when there is none.
uint32_t GlobalGroupUsers(const std::string& group, std::vector<std::string>& users);

}  // namespace kestran
