#include "platform/os_win32.h"
// (the Windows headers first)
#include <lm.h>

#include "platform/groups.h"

namespace kestran {
namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const wchar_t* w) {
  if (w == nullptr || *w == L'\0') return std::string();
  int n = ::WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

// Frees a network API buffer when it goes out of scope.
struct TNetBuffer {
  BYTE* data = nullptr;
  ~TNetBuffer() {
    if (data != nullptr) ::NetApiBufferFree(data);
  }
};

}  // namespace

uint32_t LocalGroupMembers(const std::string& group, std::vector<std::string>& members) {
  if (group.empty()) return kErrorNoSuchAlias;
  std::wstring name = Wide(group);
  DWORD_PTR resume = 0;
  for (;;) {
    TNetBuffer buf;
    DWORD read = 0;
    DWORD total = 0;
    NET_API_STATUS rc = ::NetLocalGroupGetMembers(nullptr, name.c_str(), 3, &buf.data,
                                                  MAX_PREFERRED_LENGTH, &read, &total, &resume);
    if (rc != NERR_Success && rc != ERROR_MORE_DATA) return rc;
    auto* info = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_3*>(buf.data);
    for (DWORD i = 0; i < read; ++i) members.push_back(Narrow(info[i].lgrmi3_domainandname));
    if (rc == NERR_Success) return kNerrSuccess;
  }
}

uint32_t GlobalGroupUsers(const std::string& group, std::vector<std::string>& users) {
  if (group.empty()) return kNerrGroupNotFound;
  // Wine has no global groups; its NetGroupGetUsers ends the process when called.
  if (win32::RunningUnderWine()) return kNerrGroupNotFound;
  std::wstring name = Wide(group);
  DWORD_PTR resume = 0;
  for (;;) {
    TNetBuffer buf;
    DWORD read = 0;
    DWORD total = 0;
    NET_API_STATUS rc = ::NetGroupGetUsers(nullptr, name.c_str(), 0, &buf.data,
                                           MAX_PREFERRED_LENGTH, &read, &total, &resume);
    if (rc != NERR_Success && rc != ERROR_MORE_DATA) return rc;
    auto* info = reinterpret_cast<GROUP_USERS_INFO_0*>(buf.data);
    for (DWORD i = 0; i < read; ++i) users.push_back(Narrow(info[i].grui0_name));
    if (rc == NERR_Success) return kNerrSuccess;
  }
}

}  // namespace kestran
