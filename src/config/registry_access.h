#pragma once
// The registry accessor of the loaders: one open key at a time below
// HKEY_LOCAL_MACHINE, typed reads that raise ERegistryException naming the value.

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/receiver_settings.h"
#include "platform/exception.h"
#include "platform/registry.h"

namespace kestran {

// "Invalid data type for '%s'", "Failed to get data for '%s'", "Failed to set data for '%s'".
KESTRAN_ERROR_CLASS(ERegistryException, Exception);

class TRegistry {
 public:
  explicit TRegistry(uint32_t access = kKeyAllAccess) : access_(access) {}

  // Opens a key by its path (a leading "\" is allowed), creating it when can_create;
  // closes the key open before. False when it cannot be opened.
  bool OpenKey(const std::string& path, bool can_create);
  void CloseKey() { key_.Close(); }
  bool HasCurrentKey() const { return key_.IsOpen(); }

  bool ValueExists(const std::string& name) const;
  // REG_SZ or REG_EXPAND_SZ text, cut at the first NUL; "" for a missing or empty value.
  std::string ReadString(const std::string& name) const;
  // A REG_DWORD of at most 4 bytes.
  int32_t ReadInteger(const std::string& name) const;
  bool ReadBool(const std::string& name) const { return ReadInteger(name) != 0; }
  // Raw bytes of a value of any type but REG_SZ, REG_EXPAND_SZ and REG_DWORD, of at most
  // max_size bytes.
  std::string ReadBinaryData(const std::string& name, size_t max_size) const;
  void WriteInteger(const std::string& name, int32_t value);

  // Subkey names and value names of the open key in enumeration order ({} when none).
  TStringList GetKeyNames() const;
  TStringList GetValueNames() const;

 private:
  uint32_t access_;
  TRegKey key_;
};

}  // namespace kestran
