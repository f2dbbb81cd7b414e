#include "platform/owner_handover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kestran {
namespace {

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  TFd(TFd&& other) noexcept : fd_(other.release()) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

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
  if (fd.get() < 0) return errno == ENOENT ? 0 : errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) {
    if (st.st_dev != walk.device) return 0;  // another file system mounted here
    TFd sub(::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sub.get() < 0) return errno;
    // One descriptor per level of a deep tree, not two.
    TFd(fd.release());
    return HandOverDirectory(std::move(sub), walk);
  }
  if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
    ++walk.result.skippedLinks;
    return 0;
  }
  if (::fchownat(fd.get(), "", walk.uid, walk.gid, AT_EMPTY_PATH) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return 0;
  // A descriptor opened with O_PATH takes no fchmod; its name under /proc leads to the
  // very file it holds.
  char proc[48];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd.get());
  return ::chmod(proc, 0640) == 0 ? 0 : errno;
}

int HandOverDirectory(TFd dir, TWalk& walk) {
  if (::fchown(dir.get(), walk.uid, walk.gid) != 0 || ::fchmod(dir.get(), 0750) != 0) return errno;
  DIR* d = ::fdopendir(dir.get());
  if (d == nullptr) return errno;
  dir.release();
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
  if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) {
    walk.result.error = errno;
    return walk.result;
  }
  walk.device = st.st_dev;
  walk.result.error = HandOverDirectory(std::move(dir), walk);
  return walk.result;
}

}  // namespace kestran
