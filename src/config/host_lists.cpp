#include "config/host_lists.h"

#include "config/registry_access.h"
#include "config/settings_loader.h"

namespace kestran {

void LoadHostAliasesAndLists(TReceiverSettings& s) {
  s.LocalUsers.clear();
  // One reading of the registry for all the keys, however many aliases there are.
  TRegSnapshot snapshot;
  TRegistry reg;
  const std::string aliases = std::string(kHostKey) + "\\Aliases";
  if (reg.OpenKey(aliases, false)) {
    TStringList names = reg.GetKeyNames();
    reg.CloseKey();
    for (const auto& name : names) {
      if (!reg.OpenKey(aliases + "\\" + name, false)) continue;
      if (reg.ValueExists("Alias")) {
        std::string alias = TrimBlanks(reg.ReadString("Alias"));
        if (!alias.empty()) s.LocalUsers.push_back(alias);
      }
      reg.CloseKey();
    }
  }
  if (reg.OpenKey(std::string(kHostKey) + "\\Lists", false)) {
    TStringList names = reg.GetKeyNames();
    reg.CloseKey();
    for (const auto& name : names) {
      s.LocalUsers.push_back(name);
      s.LocalUsers.push_back(name + "-request");
    }
  }
}

}  // namespace kestran
