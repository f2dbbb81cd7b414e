#include "platform/os_win32.h"
// (the Windows headers first)
#include "platform/files.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>

#include "platform/content_digest.h"
#include "platform/file_attributes_win32.h"
#include "platform/paths.h"

namespace kestran {
namespace {

thread_local uint32_t tLastError = 0;
std::atomic<TFileAttributeHook> gAttributeHook{nullptr};

// The attributes the layer acts on: the system's, through a test's hook when one is set.
DWORD Seen(const std::string& native, DWORD attributes) {
  TFileAttributeHook hook = gAttributeHook.load();
  if (hook == nullptr || attributes == INVALID_FILE_ATTRIBUTES) return attributes;
  return hook(native, attributes);
}

bool Fail() {
  tLastError = ::GetLastError();
  if (tLastError == 0) tLastError = ERROR_GEN_FAILURE;
  return false;
}

bool Native(const std::string& path, std::string& native) {
  if (TranslatePath(path, native)) return true;
  tLastError = kErrorBadNetPath;
  return false;
}

DWORD Attributes(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return INVALID_FILE_ATTRIBUTES;
  DWORD a = Seen(n, ::GetFileAttributesA(n.c_str()));
  if (a == INVALID_FILE_ATTRIBUTES) Fail();
  return a;
}

// The open file's system handle (INVALID_HANDLE_VALUE when fd is not open).
HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

TEntryKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return TEntryKind::Link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return TEntryKind::Directory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return TEntryKind::Other;
  return TEntryKind::File;
}

// Seconds since 1970 of a file time (100 ns steps since 1601).
int64_t UnixSeconds(const FILETIME& ft) {
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / 10000000ULL) - 11644473600LL;
}

}  // namespace

void SetFileAttributeHookForTest(TFileAttributeHook hook) {
  gAttributeHook.store(hook);
}

uint32_t LastFileError() {
  return tLastError;
}

void SetFileError(uint32_t code) {
  tLastError = code;
}

bool FileExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateDir(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  while (n.size() > 3 && n.back() == '\\') n.pop_back();
  return ::CreateDirectoryA(n.c_str(), nullptr) != 0 || Fail();
}

bool DeleteFilePath(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  return ::DeleteFileA(n.c_str()) != 0 || Fail();
}

bool RenameFile(const std::string& from, const std::string& to) {
  std::string a, b;
  if (!Native(from, a) || !Native(to, b)) return false;
  return ::MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
             0 ||
         Fail();
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  std::string a, b;
  if (!Native(from, a) || !Native(to, b)) return false;
  return ::MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_WRITE_THROUGH) != 0 || Fail();
}

TEntryKind EntryKindOf(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return TEntryKind::None;
  while (n.size() > 3 && n.back() == '\\') n.pop_back();
  // The attributes of a link are its own: it is not followed.
  DWORD a = Seen(n, ::GetFileAttributesA(n.c_str()));
  if (a == INVALID_FILE_ATTRIBUTES) {
    Fail();
    return TEntryKind::None;
  }
  return KindOf(a);
}

bool FreeSpaceOf(const std::string& path, uint64_t& bytes) {
  std::string n;
  if (!Native(path, n)) return false;
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExA(n.empty() ? nullptr : n.c_str(), &available, nullptr, nullptr))
    return Fail();
  bytes = available.QuadPart;
  return true;
}

bool ListDirectory(const std::string& dir, std::vector<TDirEntry>& entries, bool) {
  entries.clear();
  std::string n;
  if (!Native(dir, n)) return false;
  if (!n.empty() && n.back() != '\\') n.push_back('\\');
  WIN32_FIND_DATAA fd;
  HANDLE h = ::FindFirstFileA((n + "*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return Fail();
  do {
    std::string name = fd.cFileName;
    if (name == "." || name == "..") continue;
    entries.push_back(
        {name, KindOf(Seen(n + name, fd.dwFileAttributes)), UnixSeconds(fd.ftLastWriteTime)});
  } while (::FindNextFileA(h, &fd));
  bool ok = ::GetLastError() == ERROR_NO_MORE_FILES || Fail();
  ::FindClose(h);
  return ok;
}

bool SyncDirectory(const std::string& path) {
  // Directory entries are written through with the files (MOVEFILE_WRITE_THROUGH and
  // FlushFileBuffers of each file); there is nothing more to flush, only to check.
  return DirectoryExists(path.empty() ? std::string(".") : path);
}

bool OnSameFileSystem(const std::string&, const std::string&) {
  return false;  // not needed here: every registry change is the system's own
}

TFileSystemFlush::TFileSystemFlush(std::string dir) : dir_(std::move(dir)) {}

TFileSystemFlush::~TFileSystemFlush() = default;

bool TFileSystemFlush::Flush(const std::vector<std::string>& files) {
  // No flush of a whole volume without administrator rights: each file on its own. The
  // directory entries are written through by MOVEFILE_WRITE_THROUGH.
  for (const std::string& path : files) {
    std::string n;
    if (!Native(path, n)) return false;
    HANDLE h = ::CreateFileA(n.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail();
    bool ok = ::FlushFileBuffers(h) != 0 || Fail();
    ::CloseHandle(h);
    if (!ok) return false;
  }
  return SyncDirectory(dir_);
}

std::string GetCurrentDir() {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetCurrentDirectoryA(sizeof buf, buf);
  if (n == 0 || n > MAX_PATH) return std::string();
  return std::string(buf, n);
}

bool SetCurrentDir(const std::string& path) {
  std::string n;
  if (!Native(path, n)) return false;
  return ::SetCurrentDirectoryA(n.c_str()) != 0 || Fail();
}

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& contents, TLinkMode links,
                   int64_t* modifiedNs) {
  contents.clear();
  std::string n;
  if (!Native(path, n)) return false;
  // A link is followed to its file unless links are refused (then the reparse point itself
  // is opened, and refused); a pipe or a device is refused after the open, which never
  // waits for them (a busy pipe fails at once).
  HANDLE h = ::CreateFileA(
      n.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | (links == TLinkMode::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
      nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_PIPE_BUSY) {
      tLastError = kErrorNotPlainFile;
      return false;
    }
    return Fail();
  }
  bool ok = true;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    tLastError = kErrorNotPlainFile;
    ok = false;
  } else if (!::GetFileInformationByHandle(h, &info)) {
    ok = Fail();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
             (links == TLinkMode::Refuse &&
              (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    tLastError = kErrorNotPlainFile;
    ok = false;
  } else if ((static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) > maxBytes) {
    tLastError = kErrorFileTooLarge;
    ok = false;
  } else {
    if (modifiedNs != nullptr) {
      // 100-ns steps since 1601.
      const uint64_t ticks = static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                             info.ftLastWriteTime.dwLowDateTime;
      *modifiedNs = (static_cast<int64_t>(ticks) - 116444736000000000LL) * 100;
    }
    contents.reserve(info.nFileSizeLow);
    char buf[16384];
    for (;;) {
      const size_t room = maxBytes + 1 - contents.size();
      DWORD got = 0;
      if (!::ReadFile(h, buf, static_cast<DWORD>(room < sizeof buf ? room : sizeof buf), &got,
                      nullptr)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) break;
        ok = Fail();
        break;
      }
      if (got == 0) break;
      contents.append(buf, got);
      if (contents.size() > maxBytes) {  // it grew while it was read
        tLastError = kErrorFileTooLarge;
        ok = false;
        break;
      }
    }
  }
  ::CloseHandle(h);
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
  DWORD access = GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
    case Mode::Read:
      access = GENERIC_READ;
      break;
    case Mode::CreateExclusive:
      disposition = CREATE_NEW;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
    case Mode::CreateTruncate:
      disposition = CREATE_ALWAYS;
      break;
    case Mode::Append:
      // The name itself is opened, a link included, and checked below.
      access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
      disposition = OPEN_ALWAYS;
      flags |= FILE_FLAG_OPEN_REPARSE_POINT;
      break;
  }
  HANDLE h =
      ::CreateFileA(n.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail();
  if (mode == Mode::Append) {
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (Seen(n, info.dwFileAttributes) &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1) {
      ::CloseHandle(h);
      tLastError = kErrorNotPlainFile;
      return false;
    }
  }
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), mode == Mode::Read ? _O_RDONLY : 0);
  if (fd < 0) {
    ::CloseHandle(h);
    tLastError = ERROR_TOO_MANY_OPEN_FILES;
    return false;
  }
  fd_ = fd;
  return true;
}

bool TFile::Write(const char* data, size_t size) {
  if (fd_ < 0) {
    tLastError = ERROR_INVALID_HANDLE;
    return false;
  }
  HANDLE h = HandleOf(fd_);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(h, data, chunk, &written, nullptr)) return Fail();
    if (written == 0) {
      tLastError = ERROR_DISK_FULL;
      return false;
    }
    if (digest_) digest_->Add(data, static_cast<size_t>(written));
    data += written;
    size -= written;
  }
  return true;
}

long TFile::Read(char* data, size_t size) {
  if (fd_ < 0) return -1;
  DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!::ReadFile(HandleOf(fd_), data, chunk, &got, nullptr)) {
    if (::GetLastError() == ERROR_HANDLE_EOF || ::GetLastError() == ERROR_BROKEN_PIPE) return 0;
    Fail();
    return -1;
  }
  return static_cast<long>(got);
}

bool TFile::Sync() {
  if (fd_ < 0) return false;
  return ::FlushFileBuffers(HandleOf(fd_)) != 0 || Fail();
}

bool TFile::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  return ::_close(fd) == 0 || Fail();
}

}  // namespace kestran
