#include "deliver/next_hop.h"

#include <charconv>

#include "config/settings_loader.h"

namespace kestran {

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// "[host]:port" with a non-empty host and a port of 1 to 65535.
bool ParseHostPort(const std::string& s, std::string& host, uint16_t& port) {
  if (s.size() < 4 || s[0] != '[') return false;
  const auto close = s.find(']');
  if (close == std::string::npos || close < 2 || close + 1 >= s.size() || s[close + 1] != ':')
    return false;
  host = s.substr(1, close - 1);
  if (host.find_first_of(" \t[]") != std::string::npos) return false;
  const char* first = s.data() + close + 2;
  const char* last = s.data() + s.size();
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last || first == last || value == 0 || value > 65535)
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

std::string TNextHop::RelayName() const {
  switch (kind) {
    case Kind::Sendmail:
      return "sendmail:" + path;
    case Kind::Lmtp:
      if (!path.empty()) return "lmtp:" + path;
      return "lmtp:[" + host + "]:" + std::to_string(port);
    case Kind::Smtp:
      return "smtp:[" + host + "]:" + std::to_string(port);
  }
  return {};
}

std::optional<TNextHop> ParseNextHop(const std::string& text) {
  const std::string s = TrimBlanks(text);
  TNextHop hop;
  if (StartsWith(s, "lmtp:unix:")) {
    hop.kind = TNextHop::Kind::Lmtp;
    hop.path = s.substr(10);
    if (hop.path.empty() || hop.path[0] != '/') return std::nullopt;
    return hop;
  }
  if (StartsWith(s, "lmtp:") || StartsWith(s, "smtp:")) {
    hop.kind = s[0] == 'l' ? TNextHop::Kind::Lmtp : TNextHop::Kind::Smtp;
    if (!ParseHostPort(s.substr(5), hop.host, hop.port)) return std::nullopt;
    return hop;
  }
  if (StartsWith(s, "sendmail:")) {
    hop.kind = TNextHop::Kind::Sendmail;
    hop.path = s.substr(9);
    if (hop.path.empty() || hop.path[0] != '/') return std::nullopt;
    return hop;
  }
  return std::nullopt;
}

}  // namespace kestran
