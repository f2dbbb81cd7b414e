#include "config/registry_access.h"

namespace kestran {

namespace {

[[noreturn]] void Raise(const char* what, const std::string& name) {
  throw ERegistryException(std::string(what) + " for '" + name + "'");
}

}  // namespace

bool TRegistry::OpenKey(const std::string& path, bool can_create) {
  key_.Close();
  uint32_t r = can_create ? CreateRegKey(path, access_, key_) : OpenRegKey(path, access_, key_);
  return r == kRegSuccess;
}

bool TRegistry::ValueExists(const std::string& name) const {
  return key_.ValueExists(name);
}

std::string TRegistry::ReadString(const std::string& name) const {
  uint32_t type = kRegNone;
  std::string data;
  if (key_.QueryValue(name, type, data) != kRegSuccess || data.empty()) return std::string();
  if (type != kRegSz && type != kRegExpandSz) Raise("Invalid data type", name);
  size_t nul = data.find('\0');
  if (nul != std::string::npos) data.resize(nul);
  return data;
}

int32_t TRegistry::ReadInteger(const std::string& name) const {
  uint32_t type = kRegNone;
  std::string data;
  if (key_.QueryValue(name, type, data) != kRegSuccess || data.size() > 4)
    Raise("Failed to get data", name);
  if (type != kRegDword) Raise("Invalid data type", name);
  uint32_t v = 0;
  for (size_t i = data.size(); i-- > 0;) v = (v << 8) | static_cast<unsigned char>(data[i]);
  return static_cast<int32_t>(v);
}

std::string TRegistry::ReadBinaryData(const std::string& name, size_t max_size) const {
  uint32_t type = kRegNone;
  std::string data;
  if (key_.QueryValue(name, type, data) != kRegSuccess) Raise("Failed to get data", name);
  if (type == kRegSz || type == kRegExpandSz || type == kRegDword || data.size() > max_size)
    Raise("Invalid data type", name);
  return data;
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  if (key_.SetDword(name, static_cast<uint32_t>(value)) != kRegSuccess)
    Raise("Failed to set data", name);
}

TStringList TRegistry::GetKeyNames() const {
  TStringList names;
  if (key_.EnumSubKeys(names) != kRegSuccess) names.clear();
  return names;
}

TStringList TRegistry::GetValueNames() const {
  TStringList names;
  if (key_.EnumValues(names) != kRegSuccess) names.clear();
  return names;
}

}  // namespace kestran
