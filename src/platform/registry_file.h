#pragma once
// The registry's contents in memory and their REGEDIT4 text form.

#include <string>
#include <vector>

#include "platform/registry.h"

namespace kestran::regfile {

// Key and value names compare without regard to (ASCII) letter case.
bool NamesEqual(const std::string& a, const std::string& b);
bool NameLess(const std::string& a, const std::string& b);

// One key: its values in first-written order, its subkeys sorted by NameLess.
struct TRegNode {
  std::string name;
  std::vector<TRegValue> values;
  std::vector<TRegNode> subkeys;

  const TRegValue* FindValue(const std::string& value_name) const;
  // Replaces the data of an existing value (keeping its place and written name) or
  // appends a new one.
  void SetValue(const std::string& value_name, uint32_t type, std::string data);
  bool RemoveValue(const std::string& value_name);

  const TRegNode* FindSubKey(const std::string& key_name) const;
  TRegNode* FindSubKey(const std::string& key_name);
  // The subkey of that name, created when missing.
  TRegNode& AddSubKey(const std::string& key_name);
  bool RemoveSubKey(const std::string& key_name);

  // The key at a path of names below this one; nullptr when missing.
  const TRegNode* Find(const std::vector<std::string>& path) const;
  TRegNode* Find(const std::vector<std::string>& path);
  // Creates every missing key of the path; returns the last.
  TRegNode& Create(const std::vector<std::string>& path);
};

// Splits "\A\B\C" or "A\B\C" into its names; empty pieces are dropped.
std::vector<std::string> SplitKeyPath(const std::string& path);
std::string JoinKeyPath(const std::vector<std::string>& names);

// Reads REGEDIT4 text and applies it to root (the HKEY_LOCAL_MACHINE key): key lines
// create keys, values are set, [-KEY] and "Name"=- delete. Raises ERegistryFile
// "<file_name>(<line>): <what>" at the first line that does not parse; root may then
// hold part of the changes, so apply to a copy when that matters.
void ApplyRegText(const std::string& text, const std::string& file_name, TRegNode& root);

// The REGEDIT4 text (CR LF line ends) of a key and everything below it; key_path is its
// path below HKEY_LOCAL_MACHINE ("" for the root).
std::string FormatRegText(const TRegNode& key, const std::string& key_path);

}  // namespace kestran::regfile
