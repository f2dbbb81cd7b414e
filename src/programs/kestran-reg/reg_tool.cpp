#include "reg_tool.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "platform/exception.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace kestran {

namespace {

const char* const kUsage =
    "usage: kestran-reg query KEY [/v NAME | /ve] [/s] | add KEY [/v NAME | /ve] [/t TYPE] "
    "[/d DATA] [/s SEP] [/f] | delete KEY [/v NAME | /va] [/f] | import FILE | export KEY FILE "
    "[/y]";

// A failure that ends the command with exit status 1 and its message.
struct TToolError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) {
  throw TToolError{message};
}

std::string Upper(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// "HKLM\path" or "HKEY_LOCAL_MACHINE\path" -> "path".
std::string KeyPath(const std::string& key) {
  size_t slash = key.find('\\');
  std::string hive = Upper(key.substr(0, slash));
  if (hive != "HKLM" && hive != "HKEY_LOCAL_MACHINE")
    Fail("ERROR: Invalid key name \"" + key + "\": only HKLM\\ or HKEY_LOCAL_MACHINE\\ keys");
  return slash == std::string::npos ? std::string() : key.substr(slash + 1);
}

// The number of key names in a path.
size_t KeyDepth(const std::string& path) {
  size_t depth = 0;
  bool in_name = false;
  for (char c : path) {
    if (c != '\\' && !in_name) ++depth;
    in_name = c != '\\';
  }
  return depth;
}

std::string FullName(const std::string& path) {
  return path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + path;
}

struct TTypeName {
  uint32_t type;
  const char* name;
};
const TTypeName kTypeNames[] = {
    {0, "REG_NONE"},
    {1, "REG_SZ"},
    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"},
    {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {7, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {11, "REG_QWORD"},
};

std::string TypeName(uint32_t type) {
  for (const auto& t : kTypeNames)
    if (t.type == type) return t.name;
  char buf[32];
  std::snprintf(buf, sizeof buf, "REG_UNKNOWN(0x%x)", type);
  return buf;
}

std::string HexBytes(const std::string& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string FormatData(uint32_t type, const std::string& data) {
  switch (type) {
    case kRegSz:
    case kRegExpandSz:
      return data.substr(0, data.find('\0'));
    case kRegDword:
      if (data.size() == 4) {
        uint32_t n = 0;
        for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<unsigned char>(data[b]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", n);
        return buf;
      }
      return HexBytes(data);
    case kRegMultiSz: {
      std::string out;
      std::string d = data;
      while (!d.empty() && d.back() == '\0') d.pop_back();
      for (char c : d) {
        if (c == '\0')
          out += "\\0";
        else
          out += c;
      }
      return out;
    }
    default:
      return HexBytes(data);
  }
}

void PrintValue(std::ostream& out, const TRegValue& v) {
  out << "    " << (v.name.empty() ? "(Default)" : v.name) << "    " << TypeName(v.type) << "    "
      << FormatData(v.type, v.data) << "\n";
}

bool Confirm(std::istream& in, std::ostream& out, const std::string& question) {
  out << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(in, answer)) return false;
  answer = Upper(answer);
  return answer == "Y" || answer == "YES";
}

// Switches after the positional arguments.
struct TSwitches {
  std::vector<std::string> positional;
  bool has_v = false, ve = false, va = false, s = false, f = false, y = false;
  bool has_t = false, has_d = false, has_sep = false;
  std::string v, t, d, sep;
};

TSwitches ParseSwitches(const std::vector<std::string>& args, const std::string& verb) {
  TSwitches sw;
  auto next = [&](size_t& i, const std::string& name) -> std::string {
    if (i + 1 >= args.size()) Fail("ERROR: Invalid syntax: " + name + " needs a value.");
    return args[++i];
  };
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    // A file path such as "/tmp/x.reg" is not taken for a switch.
    static const char* const kSwitches[] = {"V", "VE", "VA", "S", "T", "D", "F", "Y"};
    bool is_switch = false;
    if (a.size() >= 2 && (a[0] == '/' || a[0] == '-'))
      for (const char* k : kSwitches) is_switch = is_switch || Upper(a.substr(1)) == k;
    if (!is_switch) {
      sw.positional.push_back(a);
      continue;
    }
    std::string name = Upper(a.substr(1));
    if (name == "V") {
      sw.has_v = true;
      sw.v = next(i, a);
    } else if (name == "VE") {
      sw.ve = true;
    } else if (name == "VA" && verb == "DELETE") {
      sw.va = true;
    } else if (name == "S" && verb == "QUERY") {
      sw.s = true;
    } else if (name == "S" && verb == "ADD") {
      sw.has_sep = true;
      sw.sep = next(i, a);
    } else if (name == "T" && verb == "ADD") {
      sw.has_t = true;
      sw.t = Upper(next(i, a));
    } else if (name == "D" && verb == "ADD") {
      sw.has_d = true;
      sw.d = next(i, a);
    } else if (name == "F" && (verb == "ADD" || verb == "DELETE")) {
      sw.f = true;
    } else if (name == "Y" && verb == "EXPORT") {
      sw.y = true;
    } else {
      Fail("ERROR: Invalid syntax: unknown switch " + a + " for " + verb + ".");
    }
  }
  if (sw.has_v + sw.ve + sw.va > 1)
    Fail("ERROR: Invalid syntax: /v, /ve and /va exclude each other.");
  return sw;
}

void CheckResult(uint32_t r, const std::string& what) {
  if (r == kRegSuccess) return;
  if (r == kRegNotFound)
    Fail("ERROR: The system was unable to find the specified registry key or value.");
  if (r == kRegAccessDenied) Fail("ERROR: Access is denied (" + what + ").");
  Fail("ERROR: " + what + " failed with code " + std::to_string(r) + ".");
}

// Writes a key with its values and its subkeys' names, or with recurse everything below
// it, depth first (the keys still to write are kept on the heap, not the stack).
void QueryKey(const std::string& path, bool recurse, std::ostream& out) {
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    std::string current = std::move(pending.back());
    pending.pop_back();
    TRegKey key;
    CheckResult(OpenRegKey(current, kKeyRead, key), "open");
    std::vector<TRegValue> values;
    CheckResult(key.ReadValues(values), "read");
    std::vector<std::string> subkeys;
    CheckResult(key.EnumSubKeys(subkeys), "enumerate");
    std::string base = key.Path();
    out << FullName(base) << "\n";
    for (const auto& v : values) PrintValue(out, v);
    out << "\n";
    for (auto it = subkeys.rbegin(); recurse && it != subkeys.rend(); ++it)
      pending.push_back(base.empty() ? *it : base + "\\" + *it);
    if (!recurse)
      for (const auto& sub : subkeys)
        out << FullName(base.empty() ? sub : base + "\\" + sub) << "\n";
  }
}

int Query(const TSwitches& sw, std::ostream& out) {
  if (sw.positional.size() != 1) Fail("ERROR: Invalid syntax: query needs one KEY.");
  TRegSnapshot snapshot;  // the file is read once, however many keys are written
  std::string path = KeyPath(sw.positional[0]);
  if (sw.has_v || sw.ve) {
    TRegKey key;
    CheckResult(OpenRegKey(path, kKeyRead, key), "open");
    std::string name = sw.has_v ? sw.v : "";
    TRegValue v;
    v.name = name;
    uint32_t r = key.QueryValue(name, v.type, v.data);
    if (r == kRegNotFound && sw.ve) {
      // Every key has a default value, set or not.
      out << "\n" << FullName(key.Path()) << "\n    (Default)    REG_SZ    (value not set)\n\n";
      return 0;
    }
    CheckResult(r, "read");
    std::vector<std::string> names;
    key.EnumValues(names);
    for (const auto& n : names)  // the name as written
      if (Upper(n) == Upper(name)) v.name = n;
    out << "\n" << FullName(key.Path()) << "\n";
    PrintValue(out, v);
    out << "\n";
    return 0;
  }
  out << "\n";
  QueryKey(path, sw.s, out);
  return 0;
}

std::string DwordData(const std::string& text) {
  if (text.empty()) Fail("ERROR: Invalid data for REG_DWORD: \"\".");
  unsigned long long v = 0;
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : 99;
    if (d >= base) Fail("ERROR: Invalid data for REG_DWORD: \"" + text + "\".");
    v = v * base + static_cast<unsigned>(d);
    if (v > 0xFFFFFFFFull) Fail("ERROR: Invalid data for REG_DWORD: \"" + text + "\".");
  }
  std::string data(4, '\0');
  for (int b = 0; b < 4; ++b) data[b] = static_cast<char>((v >> (8 * b)) & 0xFF);
  return data;
}

std::string BinaryData(const std::string& text) {
  auto digit = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  if (text.size() % 2 != 0) Fail("ERROR: Invalid data for REG_BINARY: \"" + text + "\".");
  std::string data;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) Fail("ERROR: Invalid data for REG_BINARY: \"" + text + "\".");
    data += static_cast<char>(hi * 16 + lo);
  }
  return data;
}

std::string MultiData(const std::string& text, const std::string& sep) {
  std::string data;
  if (!text.empty()) {
    size_t start = 0;
    for (;;) {
      size_t p = text.find(sep, start);
      data += text.substr(start, p == std::string::npos ? std::string::npos : p - start);
      data += '\0';
      if (p == std::string::npos) break;
      start = p + sep.size();
    }
  }
  data += '\0';
  if (data.size() == 1) data += '\0';
  return data;
}

int Add(const TSwitches& sw, std::istream& in, std::ostream& out) {
  if (sw.positional.size() != 1) Fail("ERROR: Invalid syntax: add needs one KEY.");
  std::string path = KeyPath(sw.positional[0]);
  std::string type_name = sw.has_t ? sw.t : "REG_SZ";
  uint32_t type;
  std::string data;
  if (type_name == "REG_SZ" || type_name == "REG_EXPAND_SZ") {
    type = type_name == "REG_SZ" ? kRegSz : kRegExpandSz;
    data = sw.d + '\0';
  } else if (type_name == "REG_MULTI_SZ") {
    type = kRegMultiSz;
    std::string sep = sw.has_sep ? sw.sep : "\\0";
    if (sep.empty()) Fail("ERROR: Invalid syntax: /s needs a separator.");
    data = MultiData(sw.d, sep);
  } else if (type_name == "REG_DWORD") {
    type = kRegDword;
    data = DwordData(sw.has_d ? sw.d : "0");
  } else if (type_name == "REG_BINARY") {
    type = kRegBinary;
    data = BinaryData(sw.d);
  } else {
    Fail("ERROR: Invalid type \"" + type_name +
         "\": REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD or REG_BINARY.");
  }
  if (sw.has_sep && type != kRegMultiSz) Fail("ERROR: Invalid syntax: /s is for REG_MULTI_SZ.");
  if (KeyDepth(path) > kRegMaxKeyDepth)
    Fail("ERROR: Invalid key name: more than " + std::to_string(kRegMaxKeyDepth) +
         " levels below HKEY_LOCAL_MACHINE.");
  TRegKey key;
  CheckResult(CreateRegKey(path, kKeyAllAccess, key), "create key");
  if (sw.has_v || sw.ve || sw.has_t || sw.has_d) {
    std::string name = sw.has_v ? sw.v : "";
    if (!sw.f && key.ValueExists(name) &&
        !Confirm(in, out, "Value " + (name.empty() ? "(Default)" : name) + " exists, overwrite"))
      Fail("ERROR: The operation was cancelled.");
    CheckResult(key.SetValue(name, type, data), "write value");
  }
  out << "The operation completed successfully.\n";
  return 0;
}

int Delete(const TSwitches& sw, std::istream& in, std::ostream& out) {
  if (sw.positional.size() != 1) Fail("ERROR: Invalid syntax: delete needs one KEY.");
  std::string path = KeyPath(sw.positional[0]);
  if (sw.has_v || sw.ve || sw.va) {
    TRegKey key;
    CheckResult(OpenRegKey(path, kKeyAllAccess, key), "open");
    std::string question =
        sw.va ? "Delete all values under the registry key " + FullName(key.Path())
              : "Delete the registry value " + (sw.has_v ? sw.v : std::string("(Default)"));
    if (!sw.f && !Confirm(in, out, question)) Fail("ERROR: The operation was cancelled.");
    TRegTransaction tx;
    if (sw.va) {
      std::vector<std::string> names;
      CheckResult(key.EnumValues(names), "enumerate");
      for (const auto& n : names) CheckResult(key.DeleteValue(n), "delete value");
    } else {
      CheckResult(key.DeleteValue(sw.has_v ? sw.v : ""), "delete value");
    }
    CheckResult(tx.Commit(), "write");
  } else {
    if (path.empty()) Fail("ERROR: The root key HKEY_LOCAL_MACHINE cannot be deleted.");
    if (!RegKeyExists(path))
      Fail("ERROR: The system was unable to find the specified registry key or value.");
    if (!sw.f && !Confirm(in, out, "Permanently delete the registry key " + FullName(path)))
      Fail("ERROR: The operation was cancelled.");
    CheckResult(DeleteRegTree(path), "delete key");
  }
  out << "The operation completed successfully.\n";
  return 0;
}

int Import(const TSwitches& sw, std::ostream& out) {
  if (sw.positional.size() != 1) Fail("ERROR: Invalid syntax: import needs one FILE.");
  const std::string& file = sw.positional[0];
  std::string text;
  if (!ReadWholeFile(file, text))
    Fail("ERROR: Cannot read \"" + file + "\" (code " + std::to_string(LastFileError()) + ").");
  CheckResult(ImportRegText(text, file), "import");
  out << "The operation completed successfully.\n";
  return 0;
}

int Export(const TSwitches& sw, std::istream& in, std::ostream& out) {
  if (sw.positional.size() != 2) Fail("ERROR: Invalid syntax: export needs KEY and FILE.");
  std::string path = KeyPath(sw.positional[0]);
  const std::string& file = sw.positional[1];
  std::string text;
  CheckResult(ExportRegKey(path, text), "export");
  if (!sw.y && FileExists(file) && !Confirm(in, out, "File " + file + " already exists. Overwrite"))
    Fail("ERROR: The operation was cancelled.");
  TFile f;
  if (!f.Open(file, TFile::Mode::CreateTruncate) || !f.Write(text) || !f.Close())
    Fail("ERROR: Cannot write \"" + file + "\" (code " + std::to_string(LastFileError()) + ").");
  out << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int RunRegTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err) {
  try {
    if (args.empty()) Fail(std::string("ERROR: Invalid syntax. ") + kUsage);
    std::string verb = Upper(args[0]);
    if (verb != "QUERY" && verb != "ADD" && verb != "DELETE" && verb != "IMPORT" &&
        verb != "EXPORT")
      Fail("ERROR: Invalid syntax: unknown operation \"" + args[0] + "\". " + kUsage);
    TSwitches sw = ParseSwitches(args, verb);
    if (verb == "QUERY") return Query(sw, out);
    if (verb == "ADD") return Add(sw, in, out);
    if (verb == "DELETE") return Delete(sw, in, out);
    if (verb == "IMPORT") return Import(sw, out);
    return Export(sw, in, out);
  } catch (const TToolError& e) {
    out.flush();
    err << e.message << "\n";
  } catch (const Exception& e) {
    out.flush();
    err << "ERROR: " << e.Message() << "\n";
  } catch (const std::exception& e) {
    out.flush();
    err << "ERROR: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace kestran
