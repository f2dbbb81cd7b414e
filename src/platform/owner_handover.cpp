#include "platform/owner_handover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/file_descriptor.h"

namespace kestran {
namespace {

struct TWalk {
  dev_t device;
  uid_t uid;
  gid_t gid;
  THandOverResult result;
};

int HandOverDirectory(TFd dir, TWalk& walk);

// One entry of the directory open at parent. It is opened without following a link and
// without opening its contents (O_PATH); everything after acts on that descriptor, so a
// name swapped for a link in the meantime changes nothing.
int HandOverEntry(int parent, const char* name, TWalk& walk) {
  TFd fd(::openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fd.Get() < 0) return errno == ENOENT ? 0 : errno;
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) {
    if (st.st_dev != walk.device) return 0;  // another file system mounted here
    TFd sub(::openat(fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sub.Get() < 0) return errno;
    // One descriptor per level of a deep tree, not two.
    fd.Reset();
    return HandOverDirectory(std::move(sub), walk);
  }
  if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
    ++walk.result.skippedLinks;
    return 0;
  }
  if (::fchownat(fd.Get(), "", walk.uid, walk.gid, AT_EMPTY_PATH) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return 0;
  // A descriptor opened with O_PATH takes no fchmod; its name under /proc leads to the
  // very file it holds.
  char proc[48];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd.Get());
  return ::chmod(proc, 0640) == 0 ? 0 : errno;
}

int HandOverDirectory(TFd dir, TWalk& walk) {
  if (::fchown(dir.Get(), walk.uid, walk.gid) != 0 || ::fchmod(dir.Get(), 0750) != 0) return errno;
  DIR* d = ::fdopendir(dir.Get());
  if (d == nullptr) return errno;
  dir.Release();
  int error = 0;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) {
      error = errno;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    error = HandOverEntry(::dirfd(d), e->d_name, walk);
    if (error != 0) break;
  }
  ::closedir(d);
  return error;
}

}  // namespace

THandOverResult HandOverTree(const std::string& root, uid_t uid, gid_t gid) {
  TWalk walk{0, uid, gid, {}};
  TFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (dir.Get() < 0 || ::fstat(dir.Get(), &st) != 0) {
    walk.result.error = errno;
    return walk.result;
  }
  walk.device = st.st_dev;
  walk.result.error = HandOverDirectory(std::move(dir), walk);
  return walk.result;
}

}  // namespace kestran
