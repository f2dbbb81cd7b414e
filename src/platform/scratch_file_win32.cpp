#include "platform/os_win32.h"
// (the Windows headers first)
#include <ntsecapi.h>

#include "platform/paths.h"
#include "platform/scratch_file.h"

namespace kestran {
namespace {

HANDLE AsHandle(std::intptr_t fd) {
  return reinterpret_cast<HANDLE>(fd);
}

}  // namespace

bool RandomHex(size_t n, std::string& out) {
  static const char kDigits[] = "0123456789abcdef";
  std::string bytes(n, '\0');
  if (!RtlGenRandom(bytes.data(), static_cast<ULONG>(n))) return false;
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
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string random;
    if (!RandomHex(8, random)) return false;
    std::string path = dirPrefix + namePrefix + random + nameSuffix;
    std::string native;
    if (!TranslatePath(path, native)) return false;
    // CREATE_NEW never opens an existing name, a link included; no other process may
    // open the file while it is in use.
    HANDLE h = ::CreateFileA(native.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      fd_ = reinterpret_cast<std::intptr_t>(h);
      path_ = path;
      native_ = native;
      return true;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool TScratchFile::Write(const char* data, size_t size) {
  if (fd_ == -1) return false;
  HANDLE h = AsHandle(fd_);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFF;  // append
    at.OffsetHigh = 0xFFFFFFFF;
    if (!::WriteFile(h, data, chunk, &written, &at) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

long TScratchFile::ReadAt(uint64_t offset, char* data, size_t size) const {
  if (fd_ == -1) return -1;
  DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!::ReadFile(AsHandle(fd_), data, want, &got, &at)) {
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return static_cast<long>(got);
}

bool TScratchFile::Remove() {
  if (fd_ == -1) return true;
  ::CloseHandle(AsHandle(fd_));
  fd_ = -1;
  bool ok = ::DeleteFileA(native_.c_str()) != 0 || ::GetLastError() == ERROR_FILE_NOT_FOUND;
  path_.clear();
  native_.clear();
  return ok;
}

}  // namespace kestran
