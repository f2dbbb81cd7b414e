#include "config/group_members.h"

#include "config/settings_loader.h"
#include "platform/exception.h"
#include "platform/groups.h"

namespace kestran {

namespace {
// The platform takes the name in a buffer of 256 UTF-16 units.
constexpr size_t kMaxGroupName = 253;
}  // namespace

TStringList GetGroupMembers(const std::string& group) {
  TStringList result;
  try {
    std::string name = TrimBlanks(group);
    if (name.size() > kMaxGroupName) name.resize(kMaxGroupName);
    TStringList local;
    if (LocalGroupMembers(name, local) == kNerrSuccess) {
      for (const auto& m : local) {
        size_t slash = m.rfind('\\');
        result.push_back(slash == std::string::npos ? m : m.substr(slash + 1));
      }
    }
    GlobalGroupUsers(name, result);
  } catch (const Exception&) {
    // The names gathered so far stand.
  }
  return result;
}

}  // namespace kestran
