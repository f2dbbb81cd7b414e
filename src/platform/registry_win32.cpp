#include "platform/os_win32.h"
// (the Windows headers first)
#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_file.h"

// The registry of the system itself: every key lives below HKEY_LOCAL_MACHINE. A TRegKey
// keeps its path and rights; each operation opens the system key for what it needs and
// closes it again, so that a key object never holds a system handle.

namespace kestran {
namespace {

constexpr uint32_t kWriteRights = kKeySetValue | kKeyCreateSubKey;

std::string SystemPath(const std::string& path) {
  return regfile::JoinKeyPath(regfile::SplitKeyPath(path));
}

// An open system key, closed by its destructor.
struct TSysKey {
  HKEY h = nullptr;
  ~TSysKey() {
    if (h != nullptr) ::RegCloseKey(h);
  }
  LONG Open(const std::string& path, REGSAM sam) {
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, SystemPath(path).c_str(), 0, sam, &h);
  }
};

// Opens an open key's system key with the rights that an operation needs.
uint32_t Use(const TRegKey& key, uint32_t right, TSysKey& sys) {
  if (!key.IsOpen()) return kRegInvalidHandle;
  if ((key.Access() & right) != right) return kRegAccessDenied;
  LONG rc = sys.Open(key.Path(), right | KEY_QUERY_VALUE);
  if (rc == ERROR_FILE_NOT_FOUND) return kRegKeyDeleted;
  return static_cast<uint32_t>(rc);
}

uint32_t QueryOpen(HKEY h, const std::string& name, uint32_t& type, std::string& data) {
  for (DWORD size = 256;;) {
    data.assign(size, '\0');
    DWORD t = 0;
    DWORD got = size;
    LONG rc = ::RegQueryValueExA(h, name.c_str(), nullptr, &t, reinterpret_cast<BYTE*>(data.data()),
                                 &got);
    if (rc == ERROR_MORE_DATA) {
      size = got > size ? got : size * 2;
      continue;
    }
    if (rc != ERROR_SUCCESS) {
      data.clear();
      return static_cast<uint32_t>(rc);
    }
    data.resize(got);
    type = t;
    return kRegSuccess;
  }
}

uint32_t EnumNames(HKEY h, bool subkeys, std::vector<std::string>& names) {
  names.clear();
  char buf[16384];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof buf;
    LONG rc = subkeys ? ::RegEnumKeyExA(h, i, buf, &len, nullptr, nullptr, nullptr, nullptr)
                      : ::RegEnumValueA(h, i, buf, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    names.emplace_back(buf, len);
  }
  if (subkeys) std::stable_sort(names.begin(), names.end(), regfile::NameLess);
  return kRegSuccess;
}

// The system's key and everything below it as a tree.
uint32_t ReadTree(HKEY h, regfile::TRegNode& node) {
  std::vector<std::string> names;
  uint32_t rc = EnumNames(h, false, names);
  if (rc != kRegSuccess) return rc;
  for (const auto& n : names) {
    uint32_t type = 0;
    std::string data;
    if (QueryOpen(h, n, type, data) == kRegSuccess) node.SetValue(n, type, std::move(data));
  }
  rc = EnumNames(h, true, names);
  if (rc != kRegSuccess) return rc;
  for (const auto& n : names) {
    HKEY sub = nullptr;
    if (::RegOpenKeyExA(h, n.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    rc = ReadTree(sub, node.AddSubKey(n));
    ::RegCloseKey(sub);
    if (rc != kRegSuccess) return rc;
  }
  return kRegSuccess;
}

// Writes a tree's keys and values into the system's registry below path.
uint32_t WriteTree(const std::string& path, const regfile::TRegNode& node) {
  if (!path.empty()) {
    HKEY h = nullptr;
    LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    for (const auto& v : node.Values()) {
      rc = ::RegSetValueExA(h, v.name.c_str(), 0, v.type,
                            reinterpret_cast<const BYTE*>(v.data.data()),
                            static_cast<DWORD>(v.data.size()));
      if (rc != ERROR_SUCCESS) break;
    }
    ::RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
  }
  for (const auto& entry : node.SubKeys()) {
    const regfile::TRegNode& sub = *entry.node;
    uint32_t rc = WriteTree(path.empty() ? sub.name : path + "\\" + sub.name, sub);
    if (rc != kRegSuccess) return rc;
  }
  return kRegSuccess;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string StripRoot(const std::string& key) {
  static const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKLM"};
  for (const char* r : kRoots) {
    size_t n = std::strlen(r);
    if (key.size() >= n && _strnicmp(key.c_str(), r, n) == 0 && (key.size() == n || key[n] == '\\'))
      return key.substr(n);
  }
  return key;
}

// The deletions of a REGEDIT4 text ([-KEY] and "Name"=-), applied to the system's
// registry in the order written.
uint32_t ApplyDeletions(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  std::string key;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      std::string inner = line.substr(1, line.size() - 2);
      if (!inner.empty() && inner[0] == '-') {
        key.clear();
        std::string path = SystemPath(StripRoot(inner.substr(1)));
        if (!path.empty()) ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
      } else {
        key = SystemPath(StripRoot(inner));
      }
      continue;
    }
    if (key.empty() || line.size() < 3 || line.compare(line.size() - 2, 2, "=-") != 0) continue;
    std::string name;
    if (line[0] == '@') {
      if (line != "@=-") continue;
    } else if (line[0] == '"' && line[line.size() - 3] == '"') {
      for (size_t i = 1; i + 3 < line.size(); ++i) {
        if (line[i] == '\\' && i + 4 < line.size()) ++i;
        name.push_back(line[i]);
      }
    } else {
      continue;
    }
    HKEY h = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &h) == ERROR_SUCCESS) {
      ::RegDeleteValueA(h, name.c_str());
      ::RegCloseKey(h);
    }
  }
  return kRegSuccess;
}

}  // namespace

// Every registry change of this program, in every process, is serialised by one named
// mutex; a transaction holds it for its lifetime. Each change reaches the system's
// registry as it is made (the system keeps every single value change atomic).
struct TRegTransaction::State {
  HANDLE mutex = nullptr;
};

TRegTransaction::TRegTransaction() : state_(std::make_unique<State>()) {
  state_->mutex = ::CreateMutexA(nullptr, FALSE, "Local\\KESTRAN-Registry");
  if (state_->mutex != nullptr) {
    DWORD rc = ::WaitForSingleObject(state_->mutex, INFINITE);
    if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED) {
      ::CloseHandle(state_->mutex);
      state_->mutex = nullptr;
    }
  }
}

TRegTransaction::~TRegTransaction() {
  if (state_->mutex != nullptr) {
    ::ReleaseMutex(state_->mutex);
    ::CloseHandle(state_->mutex);
  }
}

uint32_t TRegTransaction::Commit(bool flushName) {
  if (state_->mutex == nullptr) return kRegCantWrite;
  // The system writes its registry lazily; a flush waits until the changes are on disk.
  if (flushName) ::RegFlushKey(HKEY_LOCAL_MACHINE);
  return kRegSuccess;
}

std::string RegistryFilePath() {
  return "HKEY_LOCAL_MACHINE";
}

// The system's registry needs no snapshot to be read quickly, leaves no temporary files
// and says itself, key by key, what may be changed.
struct TRegSnapshot::State {};
TRegSnapshot::TRegSnapshot() : state_(std::make_unique<State>()) {}
TRegSnapshot::~TRegSnapshot() = default;

std::string RegistryWriteProblem() {
  return "";
}

bool AddToDwordInPlace(const std::string&, const std::string&, uint32_t, bool, uint32_t&,
                       std::optional<uint32_t>) {
  // The system's registry changes one value without rewriting anything: the ordinary way
  // is the cheap one here.
  return false;
}

size_t RemoveRegistryLeftovers() {
  return 0;
}

bool TRegKey::ValueExists(const std::string& name) const {
  uint32_t type = 0;
  std::string data;
  return QueryValue(name, type, data) == kRegSuccess;
}

uint32_t TRegKey::QueryValue(const std::string& name, uint32_t& type, std::string& data) const {
  TSysKey sys;
  uint32_t rc = Use(*this, kKeyQueryValue, sys);
  if (rc != kRegSuccess) return rc;
  return QueryOpen(sys.h, name, type, data);
}

uint32_t TRegKey::SetValue(const std::string& name, uint32_t type, const std::string& data) {
  TSysKey sys;
  uint32_t rc = Use(*this, kKeySetValue, sys);
  if (rc != kRegSuccess) return rc;
  return static_cast<uint32_t>(::RegSetValueExA(sys.h, name.c_str(), 0, type,
                                                reinterpret_cast<const BYTE*>(data.data()),
                                                static_cast<DWORD>(data.size())));
}

uint32_t TRegKey::SetDword(const std::string& name, uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return SetValue(name, kRegDword, data);
}

uint32_t TRegKey::SetString(const std::string& name, const std::string& text, uint32_t type) {
  std::string data = text;
  data.push_back('\0');
  return SetValue(name, type, data);
}

uint32_t TRegKey::DeleteValue(const std::string& name) {
  TSysKey sys;
  uint32_t rc = Use(*this, kKeySetValue, sys);
  if (rc != kRegSuccess) return rc;
  return static_cast<uint32_t>(::RegDeleteValueA(sys.h, name.c_str()));
}

uint32_t TRegKey::EnumSubKeys(std::vector<std::string>& names) const {
  names.clear();
  TSysKey sys;
  uint32_t rc = Use(*this, kKeyEnumerateSubKeys, sys);
  if (rc != kRegSuccess) return rc;
  return EnumNames(sys.h, true, names);
}

uint32_t TRegKey::EnumValues(std::vector<std::string>& names) const {
  names.clear();
  TSysKey sys;
  uint32_t rc = Use(*this, kKeyQueryValue, sys);
  if (rc != kRegSuccess) return rc;
  return EnumNames(sys.h, false, names);
}

uint32_t TRegKey::ReadValues(std::vector<TRegValue>& values) const {
  values.clear();
  TSysKey sys;
  uint32_t rc = Use(*this, kKeyQueryValue, sys);
  if (rc != kRegSuccess) return rc;
  std::vector<std::string> names;
  rc = EnumNames(sys.h, false, names);
  if (rc != kRegSuccess) return rc;
  for (const auto& n : names) {
    TRegValue v;
    v.name = n;
    if (QueryOpen(sys.h, n, v.type, v.data) == kRegSuccess) values.push_back(std::move(v));
  }
  return kRegSuccess;
}

uint32_t OpenRegKey(const std::string& path, uint32_t access, TRegKey& key) {
  key.Close();
  TSysKey sys;
  LONG rc = sys.Open(path, access);
  if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
  key.open_ = true;
  key.path_ = SystemPath(path);
  key.access_ = access;
  return kRegSuccess;
}

uint32_t CreateRegKey(const std::string& path, uint32_t access, TRegKey& key, bool* created) {
  key.Close();
  if (created != nullptr) *created = false;
  std::string p = SystemPath(path);
  HKEY h = nullptr;
  DWORD disposition = 0;
  LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, p.c_str(), 0, nullptr, 0, access, nullptr, &h,
                              &disposition);
  if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
  ::RegCloseKey(h);
  key.open_ = true;
  key.path_ = p;
  key.access_ = access;
  if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
  return kRegSuccess;
}

uint32_t DeleteRegKey(const std::string& path) {
  std::string p = SystemPath(path);
  if (p.empty()) return kRegAccessDenied;
  return static_cast<uint32_t>(::RegDeleteKeyA(HKEY_LOCAL_MACHINE, p.c_str()));
}

uint32_t DeleteRegTree(const std::string& path) {
  std::string p = SystemPath(path);
  if (p.empty()) return kRegAccessDenied;
  if (!RegKeyExists(p)) return kRegNotFound;
  LONG rc = ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, p.c_str());
  if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
  // Some systems leave the (now empty) key itself in place.
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, p.c_str());
  return kRegSuccess;
}

bool RegKeyExists(const std::string& path) {
  TSysKey sys;
  return sys.Open(path, KEY_QUERY_VALUE) == ERROR_SUCCESS;
}

uint32_t ImportRegText(const std::string& text, const std::string& file_name) {
  // Parsed on its own first, so that a malformed file changes nothing.
  regfile::TRegNode additions;
  regfile::ApplyRegText(text, file_name, additions);
  TRegTransaction tx;
  ApplyDeletions(text);
  uint32_t rc = WriteTree("", additions);
  if (rc != kRegSuccess) return rc;
  return tx.Commit();
}

uint32_t ExportRegKey(const std::string& path, std::string& text) {
  text.clear();
  TSysKey sys;
  LONG rc = sys.Open(path, KEY_READ);
  if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
  regfile::TRegNode node;
  uint32_t r = ReadTree(sys.h, node);
  if (r != kRegSuccess) return r;
  text = regfile::FormatRegText(node, SystemPath(path));
  return kRegSuccess;
}

}  // namespace kestran
