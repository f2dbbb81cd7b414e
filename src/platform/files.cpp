#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

#include "platform/paths.h"

namespace kestran {
namespace {

thread_local uint32_t tLastError = 0;

uint32_t MapErrno(int e) {
  switch (e) {
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EACCES:
    case EPERM:
    case EROFS:
      return 5;
    case EBADF:
      return 6;
    case ENOMEM:
      return 8;
    case EEXIST:
      return 80;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 112;
    case EMFILE:
    case ENFILE:
      return 4;
    case ENAMETOOLONG:
      return 206;
    case EISDIR:
      return 5;
    case ENOTEMPTY:
      return 145;
    case EBUSY:
      return 32;
    case EINVAL:
      return 87;
    default:
      return 31;  // a device attached to the system is not functioning
  }
}

bool Fail() {
  tLastError = MapErrno(errno);
  return false;
}

bool Native(const std::string& path, std::string& native) {
  if (TranslatePath(path, native)) return true;
  tLastError = kErrorBadNetPath;
  return false;
}

}  // namespace

uint32_t LastFileError() {
  return tLastError;
}

bool FileExists(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  struct stat st;
  if (::stat(n.c_str(), &st) != 0) return Fail();
  return S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  struct stat st;
  if (::stat(n.c_str(), &st) != 0) return Fail();
  return S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  while (n.size() > 1 && n.back() == '/') n.pop_back();
  return ::mkdir(n.c_str(), 0755) == 0 || Fail();
}

bool DeleteFilePath(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  return ::unlink(n.c_str()) == 0 || Fail();
}

bool RenameFile(const std::string& from, const std::string& to) {
  std::string a, b;
  if (!Native(from, a) || !Native(to, b)) return false;
  return ::rename(a.c_str(), b.c_str()) == 0 || Fail();
}

bool SyncDirectory(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  if (n.empty()) n.push_back('.');
  int fd = ::open(n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  bool ok = ::fsync(fd) == 0 || Fail();
  ::close(fd);
  return ok;
}

TFileSystemFlush::TFileSystemFlush(std::string dir) : dir_(std::move(dir)) {}

TFileSystemFlush::~TFileSystemFlush() {
  if (fd_ >= 0) ::close(fd_);
}

bool TFileSystemFlush::Flush(const std::vector<std::string>& /*files*/) {
  int fd;
  {
    std::lock_guard<std::mutex> g(m_);
    if (fd_ < 0) {
      std::string n;
      if (!Native(dir_, n)) return false;
      if (n.empty()) n.push_back('.');
      fd_ = ::open(n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd_ < 0) return Fail();
    }
    fd = fd_;
  }
  // syncfs writes back every dirty file and commits the journal, and reports any
  // write-back error on the file system since the previous call through this descriptor.
  return ::syncfs(fd) == 0 || Fail();
}

std::string GetCurrentDir() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return std::string();
  return buf;
}

bool SetCurrentDir(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  return ::chdir(n.c_str()) == 0 || Fail();
}

bool TFile::Open(const std::string& path, Mode mode) {
  Close();
  std::string n;
  if (!Native(path, n)) return false;
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read:
      flags |= O_RDONLY;
      break;
    case Mode::CreateExclusive:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      break;
    case Mode::CreateTruncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case Mode::Append:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
  }
  fd_ = ::open(n.c_str(), flags, 0644);
  if (fd_ < 0) return Fail();
  return true;
}

bool TFile::Write(const char* data, size_t size) {
  if (fd_ < 0) {
    tLastError = 6;
    return false;
  }
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

long TFile::Read(char* data, size_t size) {
  if (fd_ < 0) return -1;
  for (;;) {
    ssize_t n = ::read(fd_, data, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) {
      Fail();
      return -1;
    }
  }
}

bool TFile::Sync() {
  if (fd_ < 0) return false;
  return ::fsync(fd_) == 0 || Fail();
}

bool TFile::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 || Fail();
}

}  // namespace kestran
