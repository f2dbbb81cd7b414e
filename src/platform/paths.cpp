#include "platform/paths.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

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
  std::string root = DataRoot();
  // Every path on drive C comes here: when drive C is there, so is the root, and one
  // call settles it.
  if (::mkdir((root + "/drive_c").c_str(), 0755) == 0 || errno == EEXIST) return true;
  return MakeDirs(root) && MakeDir(root + "/drive_c");
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
