#include "platform/registry_file.h"

#include <algorithm>
#include <cstdio>

namespace kestran::regfile {

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compare as the Windows registry compares them: folded to upper case, so that
// "AB" sorts before "A_1".
char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

int CompareNames(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(Upper(a[i]));
    unsigned char y = static_cast<unsigned char>(Upper(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool NamesEqual(const std::string& a, const std::string& b) {
  return CompareNames(a, b) == 0;
}
bool NameLess(const std::string& a, const std::string& b) {
  return CompareNames(a, b) < 0;
}

bool TSubKeyLess::operator()(const TSubKey& a, const TSubKey& b) const {
  return NameLess(a.node->name, b.node->name);
}
bool TSubKeyLess::operator()(const TSubKey& a, const std::string& b) const {
  return NameLess(a.node->name, b);
}
bool TSubKeyLess::operator()(const std::string& a, const TSubKey& b) const {
  return NameLess(a, b.node->name);
}

namespace {

// Keys with at least this many values keep an index of their names.
constexpr size_t kIndexedValues = 16;

std::string Folded(const std::string& name) {
  std::string out = name;
  for (auto& c : out) c = Upper(c);
  return out;
}

}  // namespace

namespace {

// use_count() reads the count without ordering. Taking and dropping one more reference
// is a read-modify-write of the count with acquire semantics, so everything the earlier
// holders did before they let go happens before what follows (and the thread sanitizer
// sees it, which it would not for a bare fence).
void AcquireFromEarlierHolders(const std::shared_ptr<TRegNode>& node) {
  std::shared_ptr<TRegNode> probe = node;
  probe.reset();
}

}  // namespace

TRegNode::~TRegNode() {
  // Subkeys are taken apart one level at a time from a list on the heap: a key that only
  // this tree holds gives its subkeys to the list before it goes, so no destructor below
  // ever has subkeys of its own to destroy. A key another tree still holds is left to it.
  if (subkeys_.empty()) return;
  std::vector<std::shared_ptr<TRegNode>> pending;
  for (auto& entry : subkeys_) pending.push_back(std::move(entry.node));
  subkeys_.clear();
  while (!pending.empty()) {
    std::shared_ptr<TRegNode> node = std::move(pending.back());
    pending.pop_back();
    if (node.use_count() == 1) {
      AcquireFromEarlierHolders(node);
      for (auto& entry : node->subkeys_) pending.push_back(std::move(entry.node));
      node->subkeys_.clear();
    }
  }
}

void TRegNode::IndexValues() {
  value_index_.clear();
  if (values_.size() < kIndexedValues) return;
  value_index_.make().reserve(values_.size());
  for (size_t i = 0; i < values_.size(); ++i) value_index_.add(Folded(values_[i].name), i);
}

const TRegValue* TRegNode::FindValue(const std::string& value_name) const {
  if (!value_index_.empty()) {
    auto it = value_index_.map().find(Folded(value_name));
    return it == value_index_.map().end() ? nullptr : &values_[it->second];
  }
  for (const auto& v : values_)
    if (NamesEqual(v.name, value_name)) return &v;
  return nullptr;
}

void TRegNode::SetValue(const std::string& value_name, uint32_t type, std::string data) {
  if (const TRegValue* found = FindValue(value_name)) {
    TRegValue& v = values_[static_cast<size_t>(found - values_.data())];
    v.type = type;
    v.data = std::move(data);
    return;
  }
  values_.push_back(TRegValue{value_name, type, std::move(data)});
  if (!value_index_.empty())
    value_index_.add(Folded(value_name), values_.size() - 1);
  else if (values_.size() >= kIndexedValues)
    IndexValues();
}

bool TRegNode::RemoveValue(const std::string& value_name) {
  const TRegValue* found = FindValue(value_name);
  if (found == nullptr) return false;
  values_.erase(values_.begin() + (found - values_.data()));
  if (!value_index_.empty()) IndexValues();
  return true;
}

const TRegNode* TRegNode::FindSubKey(const std::string& key_name) const {
  auto it = subkeys_.find(key_name);
  return it == subkeys_.end() ? nullptr : it->node.get();
}

namespace {

// The key of a shared pointer, copied first when another tree holds it too.
TRegNode* Own(std::shared_ptr<TRegNode>& node) {
  if (node.use_count() == 1) {
    // Whoever held it before has let go: what they did with it happened before this.
    AcquireFromEarlierHolders(node);
  } else {
    node = std::make_shared<TRegNode>(*node);
  }
  return node.get();
}

}  // namespace

TRegNode* TRegNode::EditSubKey(const std::string& key_name) {
  auto it = subkeys_.find(key_name);
  return it == subkeys_.end() ? nullptr : Own(it->node);
}

TRegNode& TRegNode::AddSubKey(const std::string& key_name) {
  auto it = subkeys_.lower_bound(key_name);
  if (it != subkeys_.end() && NamesEqual(it->node->name, key_name)) return *Own(it->node);
  it = subkeys_.emplace_hint(it, TSubKey{std::make_shared<TRegNode>(key_name)});
  return *it->node;
}

bool TRegNode::RemoveSubKey(const std::string& key_name) {
  auto it = subkeys_.find(key_name);
  if (it == subkeys_.end()) return false;
  std::shared_ptr<TRegNode> gone = std::move(it->node);
  subkeys_.erase(it);
  return true;  // gone is released here, through the destructor above
}

const TRegNode* TRegNode::Find(const std::vector<std::string>& path) const {
  const TRegNode* n = this;
  for (const auto& p : path) {
    n = n->FindSubKey(p);
    if (n == nullptr) return nullptr;
  }
  return n;
}

TRegNode* TRegNode::Edit(const std::vector<std::string>& path) {
  if (Find(path) == nullptr) return nullptr;  // nothing is copied for a missing key
  TRegNode* n = this;
  for (const auto& p : path) n = n->EditSubKey(p);
  return n;
}

TRegNode& TRegNode::Create(const std::vector<std::string>& path) {
  TRegNode* n = this;
  for (const auto& p : path) n = &n->AddSubKey(p);
  return *n;
}

std::vector<std::string> SplitKeyPath(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string JoinKeyPath(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) {
    if (!s.empty()) s += '\\';
    s += n;
  }
  return s;
}

// ---------------------------------------------------------------------------------
// Reading

namespace {

class TParser {
 public:
  TParser(const std::string& text, const std::string& file_name, TRegNode& root)
      : file_name_(file_name), root_(root) {
    size_t start = 0;
    // A leading UTF-8 byte-order mark is ignored.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(std::move(line));
      start = end + 1;
    }
  }

  void Run() {
    size_t i = 0;
    // Header: the first line that is not blank. A file without one (a file cut to
    // nothing included) is not taken for an empty registry, so it is never replaced.
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    if (i == lines_.size()) Fail(0, "the first line is not \"REGEDIT4\"");
    if (Trim(lines_[i]) != "REGEDIT4") Fail(i, "the first line is not \"REGEDIT4\"");
    for (++i; i < lines_.size(); ++i) {
      std::string line = TrimLeft(lines_[i]);
      if (TrimRight(line).empty() || line[0] == ';') continue;
      if (line[0] == '[') {
        KeyLine(i, TrimRight(line));
      } else if (line[0] == '"' || line[0] == '@') {
        i = ValueLine(i, line);
      } else {
        Fail(i, "unexpected text");
      }
    }
  }

 private:
  [[noreturn]] void Fail(size_t index, const std::string& what) const {
    throw ERegistryFile(file_name_ + "(" + std::to_string(index + 1) + "): " + what);
  }

  static std::string TrimLeft(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b);
  }
  static std::string TrimRight(const std::string& s) {
    size_t e = s.find_last_not_of(" \t");
    return e == std::string::npos ? std::string() : s.substr(0, e + 1);
  }
  static std::string Trim(const std::string& s) { return TrimRight(TrimLeft(s)); }

  void KeyLine(size_t index, const std::string& line) {
    if (line.back() != ']') Fail(index, "a key line does not end with \"]\"");
    std::string body = line.substr(1, line.size() - 2);
    bool remove = !body.empty() && body[0] == '-';
    if (remove) body.erase(0, 1);
    size_t slash = body.find('\\');
    std::string hive = body.substr(0, slash);
    if (!NamesEqual(hive, "HKEY_LOCAL_MACHINE") && !NamesEqual(hive, "HKLM"))
      Fail(index, "the key \"" + body + "\" is not below HKEY_LOCAL_MACHINE");
    std::vector<std::string> path =
        slash == std::string::npos ? std::vector<std::string>() : SplitKeyPath(body.substr(slash));
    if (remove) {
      current_ = nullptr;
      // As on Windows, the root key itself is never deleted.
      if (path.empty()) Fail(index, "the root key \"" + hive + "\" cannot be deleted");
      if (root_.Find(path) == nullptr) return;
      std::vector<std::string> parent(path.begin(), path.end() - 1);
      root_.Edit(parent)->RemoveSubKey(path.back());
      return;
    }
    if (path.size() > kRegMaxKeyDepth)
      Fail(index, "the key is " + std::to_string(path.size()) + " levels deep, more than " +
                      std::to_string(kRegMaxKeyDepth));
    current_ = &root_.Create(path);
  }

  // Reads a quoted string starting at line[pos] == '"'; pos ends after the closing quote.
  std::string Quoted(size_t index, const std::string& line, size_t& pos) const {
    std::string out;
    ++pos;
    while (pos < line.size()) {
      char c = line[pos++];
      if (c == '"') return out;
      if (c == '\\' && pos < line.size() && (line[pos] == '\\' || line[pos] == '"')) {
        out += line[pos++];
        continue;
      }
      out += c;
    }
    Fail(index, "a quoted string is not closed");
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Parses a value line (and its continuation lines); returns the index of its last line.
  size_t ValueLine(size_t index, const std::string& line) {
    size_t pos = 0;
    std::string name;
    if (line[0] == '@') {
      pos = 1;
    } else {
      name = Quoted(index, line, pos);
      if (name.find('\0') != std::string::npos) Fail(index, "a value name holds a NUL byte");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') Fail(index, "\"=\" expected after the value name");
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::string rest = TrimRight(line.substr(pos));
    if (current_ == nullptr) Fail(index, "a value outside of a key");

    if (rest == "-") {
      current_->RemoveValue(name);
      return index;
    }
    if (!rest.empty() && rest[0] == '"') {
      size_t p = 0;
      std::string text = Quoted(index, rest, p);
      if (p != rest.size()) Fail(index, "unexpected text after a string value");
      text += '\0';
      current_->SetValue(name, kRegSz, std::move(text));
      return index;
    }
    std::string lower;
    for (char c : rest) lower += Lower(c);
    if (lower.compare(0, 6, "dword:") == 0) {
      std::string digits = rest.substr(6);
      if (digits.empty() || digits.size() > 8) Fail(index, "a dword value needs 1 to 8 hex digits");
      uint32_t v = 0;
      for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) Fail(index, "a dword value needs 1 to 8 hex digits");
        v = (v << 4) | static_cast<uint32_t>(d);
      }
      std::string data(4, '\0');
      for (int b = 0; b < 4; ++b) data[b] = static_cast<char>((v >> (8 * b)) & 0xFF);
      current_->SetValue(name, kRegDword, std::move(data));
      return index;
    }
    if (lower.compare(0, 3, "hex") == 0) {
      uint32_t type = kRegBinary;
      size_t p = 3;
      if (p < rest.size() && rest[p] == '(') {
        size_t close = rest.find(')', p);
        if (close == std::string::npos || close == p + 1 || close - p - 1 > 8)
          Fail(index, "malformed hex(type)");
        type = 0;
        for (size_t k = p + 1; k < close; ++k) {
          int d = HexDigit(rest[k]);
          if (d < 0) Fail(index, "malformed hex(type)");
          type = (type << 4) | static_cast<uint32_t>(d);
        }
        p = close + 1;
      }
      if (p >= rest.size() || rest[p] != ':') Fail(index, "\":\" expected after hex");
      std::string list = rest.substr(p + 1);
      size_t last = index;
      // A line ending in "\" continues on the next one.
      while (!list.empty() && list.back() == '\\') {
        list.pop_back();
        if (last + 1 >= lines_.size()) Fail(last, "hex data continue past the end of the file");
        ++last;
        list += Trim(lines_[last]);
      }
      std::string compact;
      for (char c : list)
        if (c != ' ' && c != '\t') compact += c;
      // One comma at the very end is accepted.
      if (!compact.empty() && compact.back() == ',') compact.pop_back();
      std::string data;
      size_t k = 0;
      while (k < compact.size()) {
        size_t comma = compact.find(',', k);
        if (comma == std::string::npos) comma = compact.size();
        size_t len = comma - k;
        if (len == 0 || len > 2) Fail(index, "malformed hex data");
        int v = 0;
        for (size_t j = k; j < comma; ++j) {
          int d = HexDigit(compact[j]);
          if (d < 0) Fail(index, "malformed hex data");
          v = v * 16 + d;
        }
        data += static_cast<char>(v);
        k = comma + 1;
        if (comma < compact.size() && k == compact.size()) Fail(index, "malformed hex data");
      }
      current_->SetValue(name, type, std::move(data));
      return last;
    }
    Fail(index, "unknown value data");
  }

  std::string file_name_;
  TRegNode& root_;
  std::vector<std::string> lines_;
  TRegNode* current_ = nullptr;
};

}  // namespace

void ApplyRegText(const std::string& text, const std::string& file_name, TRegNode& root) {
  TParser(text, file_name, root).Run();
}

// ---------------------------------------------------------------------------------
// Writing

namespace {

const char* const kEol = "\r\n";

std::string QuoteText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// Text that can be written between quotes: one NUL, at the end, and no line break.
bool PlainText(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == '\0' || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

void FormatHex(std::string& out, const std::string& prefix, const std::string& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string line = prefix;
  for (size_t i = 0; i < data.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    std::string piece{kDigits[b >> 4], kDigits[b & 15]};
    if (i + 1 < data.size()) piece += ',';
    // Lines stay within 80 columns, continued with "\" as the registry editor does.
    if (line.size() + piece.size() > 77 && line.size() > 2) {
      out += line + "\\" + kEol;
      line = "  ";
    }
    line += piece;
  }
  out += line + kEol;
}

void FormatValue(std::string& out, const TRegValue& v) {
  std::string prefix = v.name.empty() ? "@=" : QuoteText(v.name) + "=";
  if (v.type == kRegSz && PlainText(v.data)) {
    out += prefix + QuoteText(v.data.substr(0, v.data.size() - 1)) + kEol;
  } else if (v.type == kRegDword && v.data.size() == 4) {
    uint32_t n = 0;
    for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<unsigned char>(v.data[b]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", n);
    out += prefix + "dword:" + buf + kEol;
  } else if (v.type == kRegBinary) {
    FormatHex(out, prefix + "hex:", v.data);
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    FormatHex(out, prefix + buf, v.data);
  }
}

void FormatKey(std::string& out, const TRegNode& key, bool is_root, const std::string& full_name) {
  if (!is_root || !key.Values().empty()) {
    out += "[" + full_name + "]" + kEol;
    for (const auto& v : key.Values()) FormatValue(out, v);
    out += kEol;
  }
}

}  // namespace

std::string FormatRegText(const TRegNode& key, const std::string& key_path) {
  std::string out = std::string("REGEDIT4") + kEol + kEol;
  std::string full = "HKEY_LOCAL_MACHINE";
  if (!key_path.empty()) full += "\\" + key_path;
  FormatKey(out, key, key_path.empty(), full);
  // Depth first, in subkey order, with the walk's state on the heap: one entry per level
  // holding the next subkey to write and the length of the path down to its parent.
  struct TLevel {
    const TRegNode* node;
    TRegNode::TSubKeys::const_iterator next;
    size_t path_length;
  };
  std::vector<TLevel> walk{{&key, key.SubKeys().begin(), full.size()}};
  while (!walk.empty()) {
    TLevel& level = walk.back();
    if (level.next == level.node->SubKeys().end()) {
      walk.pop_back();
      continue;
    }
    const TRegNode& sub = *level.next->node;
    ++level.next;
    full.resize(level.path_length);
    full += '\\';
    full += sub.name;
    FormatKey(out, sub, false, full);
    walk.push_back({&sub, sub.SubKeys().begin(), full.size()});
  }
  return out;
}

}  // namespace kestran::regfile
