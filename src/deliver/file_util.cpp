#include "deliver/file_util.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace kestran {

bool ReadPlainFile(const std::string& path, size_t maxSize, std::string& contents, struct stat* st,
                   std::string& why) {
  contents.clear();
  TFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) {
    why = path + " cannot be opened: " + std::strerror(errno);
    return false;
  }
  struct stat own {};
  if (st == nullptr) st = &own;
  if (::fstat(fd.Get(), st) != 0 || !S_ISREG(st->st_mode)) {
    why = path + " is not a plain file";
    return false;
  }
  if (static_cast<uint64_t>(st->st_size) > maxSize) {
    why = path + " is too large";
    return false;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = path + " cannot be read: " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    contents.append(buf, static_cast<size_t>(n));
    if (contents.size() > maxSize) {
      why = path + " is too large";
      return false;
    }
  }
  return true;
}

bool ReplaceFileDurably(const std::string& dir, const std::string& name,
                        const std::string& contents, std::string& why) {
  const std::string temp = dir + name + "." + RandomFileTag() + ".tmp";
  TFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
  if (!fd.Valid()) {
    why = temp + " cannot be created: " + std::strerror(errno);
    return false;
  }
  size_t off = 0;
  while (off < contents.size()) {
    ssize_t n = ::write(fd.Get(), contents.data() + off, contents.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = temp + " cannot be written: " + std::strerror(errno);
      ::unlink(temp.c_str());
      return false;
    }
    off += static_cast<size_t>(n);
  }
  if (::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0) {
    why = temp + " cannot be flushed: " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), (dir + name).c_str()) != 0) {
    why = dir + name + " cannot be replaced: " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (!SyncDirectory(dir)) {
    why = dir + " cannot be flushed: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool MoveAside(const std::string& dir, const std::string& name, const std::string& targetDir,
               std::string& why) {
  for (int n = 0; n < 1000; ++n) {
    const std::string target = targetDir + (n == 0 ? name : name + "-" + std::to_string(n));
    if (::renameat2(AT_FDCWD, (dir + name).c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
        0)
      return true;
    if (errno != EEXIST) {
      why = dir + name + " cannot be moved to " + targetDir + ": " + std::strerror(errno);
      return false;
    }
  }
  why = "no free name for " + name + " in " + targetDir;
  return false;
}

bool EnsurePlainDir(const std::string& dir) {
  std::string d = dir;
  if (d.size() > 1 && d.back() == '/') d.pop_back();
  // Missing parents first.
  for (size_t slash = d.find('/', 1); slash != std::string::npos; slash = d.find('/', slash + 1))
    ::mkdir(d.substr(0, slash).c_str(), 0750);
  if (::mkdir(d.c_str(), 0750) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::lstat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsPlainFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace kestran
