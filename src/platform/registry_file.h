#pragma once
// The registry's contents in memory and their REGEDIT4 text form.

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace kestran::regfile {

// Key and value names compare without regard to (ASCII) letter case.
bool NamesEqual(const std::string& a, const std::string& b);
bool NameLess(const std::string& a, const std::string& b);

class TRegNode;

// One entry of a key's subkeys. The pointer may be replaced by a copy of its key (same
// name, same place in the order) when the key is made a tree's own.
struct TSubKey {
  mutable std::shared_ptr<TRegNode> node;
};

// Orders subkeys by name (NameLess), and finds them by a name alone.
struct TSubKeyLess {
  using is_transparent = void;
  bool operator()(const TSubKey& a, const TSubKey& b) const;
  bool operator()(const TSubKey& a, const std::string& b) const;
  bool operator()(const std::string& a, const TSubKey& b) const;
};

// Position of each value by its name folded to upper case, for keys with many values.
// Copied with its key; empty (and without storage) for keys with few values.
class TValueIndex {
 public:
  using TMap = std::unordered_map<std::string, size_t>;
  TValueIndex() = default;
  TValueIndex(const TValueIndex& other)
      : map_(other.map_ ? std::make_unique<TMap>(*other.map_) : nullptr) {}
  TValueIndex& operator=(const TValueIndex& other) {
    if (this != &other) map_ = other.map_ ? std::make_unique<TMap>(*other.map_) : nullptr;
    return *this;
  }
  TValueIndex(TValueIndex&&) noexcept = default;
  TValueIndex& operator=(TValueIndex&&) noexcept = default;

  bool empty() const { return map_ == nullptr; }
  const TMap& map() const { return *map_; }
  TMap& make() {
    map_ = std::make_unique<TMap>();
    return *map_;
  }
  void add(std::string folded_name, size_t position) {
    map_->emplace(std::move(folded_name), position);
  }
  void clear() { map_.reset(); }

 private:
  std::unique_ptr<TMap> map_;
};

// One key: its values in first-written order, its subkeys sorted by NameLess.
//
// Subkeys are shared between copies: copying a key copies its own values and the list of
// its direct subkeys, never what lies below them. A change below a copy goes through
// EditSubKey, Edit or Create, which give the changed key (and each key on the way to it)
// a copy of its own first when another tree still shares it. A tree that other threads
// read is therefore never changed in place, and a change costs the keys along its path,
// not the size of the tree. No operation recurses in proportion to the depth of a tree,
// destruction included.
class TRegNode {
 public:
  using TSubKeys = std::set<TSubKey, TSubKeyLess>;

  TRegNode() = default;
  explicit TRegNode(std::string key_name) : name(std::move(key_name)) {}
  TRegNode(const TRegNode&) = default;
  TRegNode& operator=(const TRegNode&) = default;
  TRegNode(TRegNode&&) noexcept = default;
  TRegNode& operator=(TRegNode&&) noexcept = default;
  ~TRegNode();

  std::string name;

  const std::vector<TRegValue>& Values() const { return values_; }
  const TRegValue* FindValue(const std::string& value_name) const;
  // Replaces the data of an existing value (keeping its place and written name) or
  // appends a new one.
  void SetValue(const std::string& value_name, uint32_t type, std::string data);
  bool RemoveValue(const std::string& value_name);

  const TSubKeys& SubKeys() const { return subkeys_; }
  const TRegNode* FindSubKey(const std::string& key_name) const;
  // The subkey, made this tree's own for changing; nullptr when missing.
  TRegNode* EditSubKey(const std::string& key_name);
  // The subkey of that name for changing, created when missing.
  TRegNode& AddSubKey(const std::string& key_name);
  bool RemoveSubKey(const std::string& key_name);

  // The key at a path of names below this one; nullptr when missing.
  const TRegNode* Find(const std::vector<std::string>& path) const;
  // The same key for changing (see above); nullptr when missing.
  TRegNode* Edit(const std::vector<std::string>& path);
  // Creates every missing key of the path; returns the last, for changing.
  TRegNode& Create(const std::vector<std::string>& path);

 private:
  void IndexValues();

  std::vector<TRegValue> values_;
  TValueIndex value_index_;  // so that finding one of many values does not scan them all
  TSubKeys subkeys_;
};

// Splits "\A\B\C" or "A\B\C" into its names; empty pieces are dropped.
std::vector<std::string> SplitKeyPath(const std::string& path);
std::string JoinKeyPath(const std::vector<std::string>& names);

// Reads REGEDIT4 text and applies it to root (the HKEY_LOCAL_MACHINE key): key lines
// create keys, values are set, [-KEY] and "Name"=- delete. Raises ERegistryFile
// "<file_name>(<line>): <what>" at the first line that does not parse, a key deeper than
// kRegMaxKeyDepth, a deletion of HKEY_LOCAL_MACHINE itself and a value name holding a NUL;
// root may then hold part of the changes, so apply to a copy when that matters. Takes
// time in proportion to the text (and the logarithm of the width of its keys).
void ApplyRegText(const std::string& text, const std::string& file_name, TRegNode& root);

// The REGEDIT4 text (CR LF line ends) of a key and everything below it; key_path is its
// path below HKEY_LOCAL_MACHINE ("" for the root).
std::string FormatRegText(const TRegNode& key, const std::string& key_path);

}  // namespace kestran::regfile
