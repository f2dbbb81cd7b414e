#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>

#include "platform/content_digest.h"
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
    case ELOOP:  // a link under a name opened without following links
    case ENXIO:  // a FIFO or device opened without waiting for a reader
      return kErrorNotPlainFile;
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

constexpr mode_t kFileMode = 0640;

TEntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return TEntryKind::File;
  if (S_ISDIR(mode)) return TEntryKind::Directory;
  if (S_ISLNK(mode)) return TEntryKind::Link;
  return TEntryKind::Other;
}

// Opens a plain file for appending without following a link: an existing file is opened
// as it is, a missing one is created exclusively; when another writer creates or removes
// the name between the two steps, the open starts over.
int OpenAppend(const char* path) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                kFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

uint32_t LastFileError() {
  return tLastError;
}

void SetFileError(uint32_t code) {
  tLastError = code;
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

bool RenameNoReplace(const std::string& from, const std::string& to) {
  std::string a, b;
  if (!Native(from, a) || !Native(to, b)) return false;
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return Fail();
  // A file system without the exclusive rename: a second name, then the first removed.
  if (::link(a.c_str(), b.c_str()) == 0) {
    ::unlink(a.c_str());
    return true;
  }
  if (errno == EEXIST) return Fail();
  // Nor hard links (FAT and the like): the check and the rename are two steps there.
  struct stat st;
  if (::lstat(b.c_str(), &st) == 0) {
    errno = EEXIST;
    return Fail();
  }
  return ::rename(a.c_str(), b.c_str()) == 0 || Fail();
}

TEntryKind EntryKindOf(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return TEntryKind::None;
  while (n.size() > 1 && n.back() == '/') n.pop_back();
  struct stat st;
  if (::lstat(n.c_str(), &st) != 0) {
    Fail();
    return TEntryKind::None;
  }
  return KindOf(st.st_mode);
}

bool FreeSpaceOf(const std::string& path, uint64_t& bytes) {
  std::string n;
  if (!Native(path, n)) return false;
  struct statvfs st;
  if (::statvfs(n.empty() ? "." : n.c_str(), &st) != 0) return Fail();
  bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

bool ListDirectory(const std::string& dir, std::vector<TDirEntry>& entries, bool withTimes) {
  entries.clear();
  std::string n;
  if (!Native(dir, n)) return false;
  if (n.empty()) n = ".";
  int dfd = ::open(n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return Fail();
  DIR* d = ::fdopendir(dfd);
  if (d == nullptr) {
    ::close(dfd);
    return Fail();
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) {
      if (errno != 0) ok = Fail();
      break;
    }
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!withTimes && (e->d_type == DT_REG || e->d_type == DT_DIR || e->d_type == DT_LNK)) {
      const TEntryKind kind = e->d_type == DT_REG   ? TEntryKind::File
                              : e->d_type == DT_DIR ? TEntryKind::Directory
                                                    : TEntryKind::Link;
      entries.push_back({std::move(name), kind, 0});
      continue;
    }
    struct stat st;
    // A name removed since it was listed is left out.
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries.push_back({std::move(name), KindOf(st.st_mode), static_cast<int64_t>(st.st_mtime)});
  }
  ::closedir(d);
  return ok;
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

bool OnSameFileSystem(const std::string& a, const std::string& b) {
  std::string na, nb;
  if (!Native(a, na) || !Native(b, nb)) return false;
  if (na.empty()) na = ".";
  if (nb.empty()) nb = ".";
  struct stat sa, sb;
  if (::stat(na.c_str(), &sa) != 0 || ::stat(nb.c_str(), &sb) != 0) return Fail();
  return sa.st_dev == sb.st_dev;
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

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& contents, TLinkMode links,
                   int64_t* modifiedNs) {
  contents.clear();
  std::string n;
  if (!Native(path, n)) return false;
  // Non-blocking: the open of a FIFO does not wait for a writer, nor that of a device
  // for its carrier; what is not a plain file is never read.
  int fd = ::open(n.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                 (links == TLinkMode::Refuse ? O_NOFOLLOW : 0));
  if (fd < 0) {
    if (errno == ELOOP && links == TLinkMode::Refuse) {
      tLastError = kErrorNotPlainFile;
      return false;
    }
    return Fail();
  }
  struct stat st;
  bool ok = true;
  if (::fstat(fd, &st) != 0) {
    ok = Fail();
  } else if (!S_ISREG(st.st_mode)) {
    tLastError = kErrorNotPlainFile;
    ok = false;
  } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    tLastError = kErrorFileTooLarge;
    ok = false;
  } else {
    if (modifiedNs != nullptr)
      *modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    contents.reserve(static_cast<size_t>(st.st_size));
    char buf[16384];
    for (;;) {
      const size_t room = maxBytes + 1 - contents.size();
      ssize_t got = ::read(fd, buf, room < sizeof buf ? room : sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        ok = Fail();
        break;
      }
      if (got == 0) break;
      contents.append(buf, static_cast<size_t>(got));
      if (contents.size() > maxBytes) {  // it grew while it was read
        tLastError = kErrorFileTooLarge;
        ok = false;
        break;
      }
    }
  }
  ::close(fd);
  if (!ok) {
    contents.clear();
    contents.shrink_to_fit();
  }
  return ok;
}

bool TFile::Open(const std::string& path, Mode mode) {
  Close();
  std::string n;
  if (!Native(path, n)) return false;
  int fd = -1;
  switch (mode) {
    case Mode::Read:
      fd = ::open(n.c_str(), O_RDONLY | O_CLOEXEC);
      break;
    case Mode::CreateExclusive:
      fd = ::open(n.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
      break;
    case Mode::CreateTruncate:
      fd = ::open(n.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
      break;
    case Mode::Append:
      fd = OpenAppend(n.c_str());
      if (fd < 0 && errno == EISDIR) {
        tLastError = kErrorNotPlainFile;
        return false;
      }
      if (fd < 0) break;
      {
        // Only a plain file with no other name is appended to: a hard link planted under
        // the name would carry the lines into a file of another purpose. The open did not
        // wait for a FIFO's reader, and the writes that follow may block as usual.
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
          ::close(fd);
          tLastError = kErrorNotPlainFile;
          return false;
        }
        int fl = ::fcntl(fd, F_GETFL);
        if (fl != -1) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
      }
      break;
  }
  if (fd < 0) return Fail();
  fd_ = fd;
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
    if (digest_) digest_->Add(data, static_cast<size_t>(n));
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
