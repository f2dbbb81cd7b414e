#include "platform/groups.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <mutex>

namespace kestran {

namespace {

// Looks a group up by name; false when it does not exist or cannot be read.
bool FindGroup(const std::string& name, std::vector<std::string>* members, gid_t* gid) {
  std::vector<char> buf(4096);
  for (;;) {
    struct group gr;
    struct group* result = nullptr;
    int r = ::getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &result);
    if (r == ERANGE && buf.size() < (64u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (r != 0 || result == nullptr) return false;
    if (gid != nullptr) *gid = gr.gr_gid;
    if (members != nullptr)
      for (char** m = gr.gr_mem; m != nullptr && *m != nullptr; ++m) members->push_back(*m);
    return true;
  }
}

// getpwent walks one cursor per process.
std::mutex& PasswdLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace

uint32_t LocalGroupMembers(const std::string& group, std::vector<std::string>& members) {
  if (group.empty() || !FindGroup(group, &members, nullptr)) return kErrorNoSuchAlias;
  return kNerrSuccess;
}

uint32_t GlobalGroupUsers(const std::string& group, std::vector<std::string>& users) {
  gid_t gid;
  if (group.empty() || !FindGroup(group, nullptr, &gid)) return kNerrGroupNotFound;
  std::lock_guard<std::mutex> g(PasswdLock());
  ::setpwent();
  while (struct passwd* pw = ::getpwent()) {
    if (pw->pw_gid == gid && pw->pw_name != nullptr) users.push_back(pw->pw_name);
  }
  ::endpwent();
  return kNerrSuccess;
}

}  // namespace kestran
