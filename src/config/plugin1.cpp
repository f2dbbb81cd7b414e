#include "config/plugin1.h"

#include <algorithm>

#include "platform/files.h"

namespace kestran {

namespace {

std::string Upper(std::string s) {
  for (auto& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void LoadLine(std::string line, TReceiverSettings& s) {
  line.erase(std::remove(line.begin(), line.end(), ' '), line.end());
  if (!line.empty() && line[0] == ';') return;
  while (!line.empty()) {
    std::string item;
    size_t comma = line.find(',');
    if (comma == std::string::npos) {
      item = line;
      line.clear();
    } else {
      item = line.substr(0, comma);
      line.erase(0, comma + 1);
    }
    item.erase(std::remove(item.begin(), item.end(), '"'), item.end());
    std::string local = item;
    std::string domain;
    size_t at = item.find('@');
    if (at != std::string::npos) {
      local = item.substr(0, at);
      domain = item.substr(at + 1);
    }
    if (Upper(local) == "NOBODY" && !domain.empty()) {
      s.SkipUserVerify.push_back(domain);
    } else {
      s.LocalUsers.push_back(local);
    }
  }
}

}  // namespace

void ParsePlugin1List(const std::string& contents, TReceiverSettings& s) {
  // Lines end at CR LF, LF or CR.
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find_first_of("\r\n", start);
    if (end == std::string::npos) end = contents.size();
    LoadLine(contents.substr(start, end - start), s);
    if (end + 1 < contents.size() && contents[end] == '\r' && contents[end + 1] == '\n') ++end;
    start = end + 1;
  }
}

bool ReadPlugin1File(const std::string& path, std::string& contents) {
  contents.clear();
  try {
    return !path.empty() && FileExists(path) && ReadWholeFile(path, contents);
  } catch (...) {
    return false;
  }
}

void LoadPlugin1List(const std::string& path, TReceiverSettings& s) {
  try {
    std::string contents;
    if (!ReadPlugin1File(path, contents)) return;
    ParsePlugin1List(contents, s);
  } catch (...) {
    // An unreadable file adds what was read before the failure.
  }
}

}  // namespace kestran
