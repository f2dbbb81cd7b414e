#pragma once
// The registry: keys below HKEY_LOCAL_MACHINE, kept in one REGEDIT4 text file,
// $KESTRAN_ROOT/registry.reg (a missing file is an empty registry).
//
// The interface follows the Win32 registry calls: keys are opened or created by path
// with an access mask and give Windows error codes as results (0 success, 2 not found,
// 5 access denied, ...). Key paths are relative to HKEY_LOCAL_MACHINE; a leading "\" is
// allowed ("\SOFTWARE\Brackenwold\KESTRAN"). Key and value names compare without regard
// to letter case and keep their written case; subkeys enumerate in case-insensitive
// alphabetical order, values in the order in which they were first written. The value
// named "" is the key's default value.
//
// Value data are raw bytes as Windows stores them: REG_SZ and REG_EXPAND_SZ text ends
// with a NUL, REG_DWORD is 4 bytes little-endian, REG_MULTI_SZ is NUL-separated with a
// double NUL at the end.
//
// Every change is written atomically (temporary file beside the registry file, flushed,
// then renamed over it), and all writers in all processes serialise on an advisory lock
// on "registry.lock" beside it, re-reading the file under the lock before changing it.
// A new registry file gets mode 0640; a replaced one keeps its mode, and its owner and
// group where this process may give them (root editing a service account's file).
// A registry file that cannot be parsed raises ERegistryFile ("<path>(<line>): <what>")
// from any operation that needs its contents; such a file is never overwritten.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/exception.h"

namespace kestran {

// Value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// Access rights of a key.
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;

// Results (Windows error codes).
constexpr uint32_t kRegSuccess = 0;
constexpr uint32_t kRegNotFound = 2;           // no such key or value
constexpr uint32_t kRegAccessDenied = 5;       // no right, or a key with subkeys to delete
constexpr uint32_t kRegInvalidHandle = 6;      // the key object is not open
constexpr uint32_t kRegInvalidParameter = 87;  // malformed path or name
constexpr uint32_t kRegCantWrite = 1013;       // the registry file could not be written
constexpr uint32_t kRegKeyDeleted = 1018;      // the open key has been deleted meanwhile

// Keys lie at most this many levels below HKEY_LOCAL_MACHINE, as on Windows. A deeper key
// is never created: CreateRegKey gives kRegInvalidParameter, a REGEDIT4 text holding one
// does not parse.
constexpr size_t kRegMaxKeyDepth = 512;

// A registry file that cannot be parsed: "<path>(<line>): <what>".
KESTRAN_ERROR_CLASS(ERegistryFile, Exception);

// $KESTRAN_ROOT/registry.reg
std::string RegistryFilePath();

// One typed value.
struct TRegValue {
  std::string name;
  uint32_t type = kRegNone;
  std::string data;  // raw bytes
};

// An open key; closed by its destructor. Operations on a key opened without the right
// for them give kRegAccessDenied.
class TRegKey {
 public:
  TRegKey() = default;
  TRegKey(const TRegKey&) = delete;
  TRegKey& operator=(const TRegKey&) = delete;
  TRegKey(TRegKey&& other) noexcept;
  TRegKey& operator=(TRegKey&& other) noexcept;
  ~TRegKey() { Close(); }

  bool IsOpen() const { return open_; }
  // The key's path below HKEY_LOCAL_MACHINE as written when it was created ("" = root).
  const std::string& Path() const { return path_; }
  uint32_t Access() const { return access_; }
  void Close();

  bool ValueExists(const std::string& name) const;
  // Type and raw data of a value (its size is data.size()).
  uint32_t QueryValue(const std::string& name, uint32_t& type, std::string& data) const;
  uint32_t SetValue(const std::string& name, uint32_t type, const std::string& data);
  uint32_t SetDword(const std::string& name, uint32_t value);
  // Stores text (REG_SZ or REG_EXPAND_SZ) with its terminating NUL.
  uint32_t SetString(const std::string& name, const std::string& text, uint32_t type = kRegSz);
  uint32_t DeleteValue(const std::string& name);
  // Names of the direct subkeys (alphabetical, ignoring case) and of the values (first
  // written first).
  uint32_t EnumSubKeys(std::vector<std::string>& names) const;
  uint32_t EnumValues(std::vector<std::string>& names) const;
  // Every value with its type and data, in enumeration order.
  uint32_t ReadValues(std::vector<TRegValue>& values) const;

 private:
  friend uint32_t OpenRegKey(const std::string&, uint32_t, TRegKey&);
  friend uint32_t CreateRegKey(const std::string&, uint32_t, TRegKey&, bool*);
  bool open_ = false;
  std::string path_;
  uint32_t access_ = 0;
};

// Opens an existing key (kRegNotFound when it does not exist). A mask with write rights
// fails with kRegAccessDenied when the registry file cannot be written by this process.
uint32_t OpenRegKey(const std::string& path, uint32_t access, TRegKey& key);
// Opens a key, creating it and every missing parent; *created tells whether it was new.
// kRegInvalidParameter for a path deeper than kRegMaxKeyDepth or a name holding a NUL.
uint32_t CreateRegKey(const std::string& path, uint32_t access, TRegKey& key,
                      bool* created = nullptr);
// Deletes a key that has no subkeys (kRegAccessDenied when it has some).
uint32_t DeleteRegKey(const std::string& path);
// Deletes a key with everything below it.
uint32_t DeleteRegTree(const std::string& path);
bool RegKeyExists(const std::string& path);

// Adds count (wrapping) to the REG_DWORD value `name` of the key at `path` in one step
// under the cross-process lock, without rewriting the registry: where the registry file
// holds the value as "name"=dword: and eight hex digits, on a line of its own in the only
// section of that key, those eight bytes are overwritten where they stand. old receives
// the value before. With flush the new digits are on disk when it returns. A crash
// leaves the old digits or the new ones, never a mix: they are written by one call into
// the page cache, and never placed across a 512-byte sector, which a disk writes whole.
// Returns false, with nothing changed, when this cannot be done (inside a transaction,
// a registry the ordinary way could not write, no such value or one of another form, a
// file that cannot be read or parsed, digits that would cross a sector, a failing
// write): the caller then changes the value the ordinary way. A failing flush also
// returns false; the value may then have moved on, which only skips numbers. Raises
// nothing.
// With limit, the value is changed only while old + count stays at or below it (false,
// nothing changed, otherwise): a counter with a range of its own steps past its end the
// ordinary way.
bool AddToDwordInPlace(const std::string& path, const std::string& name, uint32_t count, bool flush,
                       uint32_t& old, std::optional<uint32_t> limit = std::nullopt);

// A read-modify-write under the cross-process lock. While it lives, every registry
// operation of this thread works on one view of the registry read under the lock, and
// no other writer (thread or process) can change the file; Commit() writes the changes
// made in it as one atomic replacement. Changes not committed are dropped. Other threads
// that write wait until it ends; do not let it live long.
class TRegTransaction {
 public:
  TRegTransaction();  // raises ERegistryFile for a malformed registry file
  ~TRegTransaction();
  TRegTransaction(const TRegTransaction&) = delete;
  TRegTransaction& operator=(const TRegTransaction&) = delete;
  // flushName false: the new text is on disk before it replaces the old file, but the
  // replacement itself is not waited for (a registry write on Windows that no
  // RegFlushKey follows is not either). After a crash the file then holds this change or
  // the one before it, never a damaged text.
  uint32_t Commit(bool flushName = true);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Reads without writing: while it lives, every registry read of this thread outside a
// transaction sees the registry as it was when it was made (or as this thread's own
// commits left it), and no read goes back to the file. Reading a large registry key by
// key thus costs the file once, not once per read. Snapshots nest.
class TRegSnapshot {
 public:
  TRegSnapshot();  // raises ERegistryFile for a malformed registry file
  ~TRegSnapshot();
  TRegSnapshot(const TRegSnapshot&) = delete;
  TRegSnapshot& operator=(const TRegSnapshot&) = delete;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Why this process cannot change the registry file ("<path>: <reason>"); "" when it can.
std::string RegistryWriteProblem();

// Removes the temporary files ("registry.reg." and six letters or digits) that a writer
// killed between writing and renaming one has left beside the registry file, and only
// those. Runs under the writers' lock, where no such file can still be in use; every
// process also does it at its first transaction. Returns how many were removed.
size_t RemoveRegistryLeftovers();

// REGEDIT4 text.
// Applies a REGEDIT4 file to the registry as one change ([-KEY] and "Name"=- delete).
// A file that does not parse raises ERegistryFile naming file_name and changes nothing.
uint32_t ImportRegText(const std::string& text, const std::string& file_name);
// A REGEDIT4 file of the key and everything below it (kRegNotFound when it is missing).
uint32_t ExportRegKey(const std::string& path, std::string& text);

}  // namespace kestran
