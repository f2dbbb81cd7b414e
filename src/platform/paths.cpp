#include "platform/paths.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace kestran {

std::string DataRoot() {
  const char* root = std::getenv("KESTRAN_ROOT");
  if (root != nullptr && *root != '\0') return root;
  return "/var/lib/kestran";
}

namespace {

bool MakeDir(const std::string& p) {
  return ::mkdir(p.c_str(), 0755) == 0 || errno == EEXIST;
}

// Creates every missing directory of an absolute or relative native path.
bool MakeDirs(const std::string& p) {
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      if (!MakeDir(p.substr(0, i))) return false;
    }
  }
  return true;
}

std::string Slashes(std::string s) {
  for (auto& c : s)
    if (c == '\\') c = '/';
  return s;
}

}  // namespace

bool EnsureDataRoot() {
  // Every path on drive C comes here, once per file operation. The root that was last
  // found with its drive C is not asked again: the program never removes it, and a
  // root that someone else removes makes the operation fail as a missing path.
  static std::mutex* m = new std::mutex;
  static auto* known = new std::string;
  std::string root = DataRoot();
  {
    std::lock_guard<std::mutex> g(*m);
    if (*known == root) return true;
  }
  // When drive C is there, so is the root, and one call settles it.
  bool ok = (::mkdir((root + "/drive_c").c_str(), 0755) == 0 || errno == EEXIST) ||
            (MakeDirs(root) && MakeDir(root + "/drive_c"));
  if (ok) {
    std::lock_guard<std::mutex> g(*m);
    *known = root;
  }
  return ok;
}

bool TranslatePath(const std::string& path, std::string& native) {
  native.clear();
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return false;
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    EnsureDataRoot();
    std::string rest = path.substr(2);
    native = DataRoot() + "/drive_" +
             static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) native += '/';
    native += Slashes(rest);
    return true;
  }
  native = Slashes(path);
  return true;
}

}  // namespace kestran
