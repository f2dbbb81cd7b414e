#include "platform/os_win32.h"
// (the Windows headers first)
#include "platform/paths.h"

#include <cstdlib>

namespace kestran {

// On Windows the paths of the settings are the system's own: nothing is mapped.
std::string DataRoot() {
  const char* root = std::getenv("KESTRAN_ROOT");
  if (root != nullptr && *root != '\0') return root;
  return "C:\\";
}

bool EnsureDataRoot() {
  return true;
}

bool TranslatePath(const std::string& path, std::string& native) {
  native = path;
  for (auto& c : native)
    if (c == '/') c = '\\';
  return true;
}

}  // namespace kestran
