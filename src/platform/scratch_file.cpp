#include "platform/scratch_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace kestran {

bool RandomHex(size_t n, std::string& out) {
  static const char kDigits[] = "0123456789abcdef";
  std::string bytes(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::getrandom(bytes.data() + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(r);
  }
  out.clear();
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return true;
}

TScratchFile::~TScratchFile() {
  Remove();
}

bool TScratchFile::Create(const std::string& dirPrefix, const std::string& namePrefix,
                          const std::string& nameSuffix) {
  Remove();
  // A name that is taken (by chance or planted) is never opened: draw another.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string random;
    if (!RandomHex(8, random)) return false;
    std::string path = dirPrefix + namePrefix + random + nameSuffix;
    std::string native;
    if (!TranslatePath(path, native)) return false;
    int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      path_ = path;
      native_ = native;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool TScratchFile::Write(const char* data, size_t size) {
  if (fd_ < 0) return false;
  while (size > 0) {
    ssize_t n = ::write(static_cast<int>(fd_), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long TScratchFile::ReadAt(uint64_t offset, char* data, size_t size) const {
  if (fd_ < 0) return -1;
  for (;;) {
    ssize_t n = ::pread(static_cast<int>(fd_), data, size, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool TScratchFile::Remove() {
  if (fd_ < 0) return true;
  ::close(static_cast<int>(fd_));
  fd_ = -1;
  bool ok = ::unlink(native_.c_str()) == 0 || errno == ENOENT;
  path_.clear();
  native_.clear();
  return ok;
}

}  // namespace kestran
