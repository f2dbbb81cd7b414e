#include "config/pop_auth.h"

#include <mutex>

#include "config/inbound_log.h"
#include "platform/files.h"
#include "platform/ip_address.h"

namespace kestran {
namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// One to two decimal digits at pos; advances pos.
std::optional<int> ReadField(std::string_view s, size_t& pos) {
  size_t start = pos;
  int v = 0;
  while (pos < s.size() && pos - start < 2 && s[pos] >= '0' && s[pos] <= '9')
    v = v * 10 + (s[pos++] - '0');
  if (pos == start) return std::nullopt;
  return v;
}

int64_t MillisecondOfDay(const LocalTime& t) {
  return ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
}

}  // namespace

std::optional<int64_t> ParseTimeOfDay(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  size_t pos = 0;
  auto hour = ReadField(text, pos);
  if (!hour || pos >= text.size() || text[pos] != ':') return std::nullopt;
  ++pos;
  auto minute = ReadField(text, pos);
  if (!minute) return std::nullopt;
  int second = 0;
  if (pos < text.size()) {
    if (text[pos] != ':') return std::nullopt;
    ++pos;
    auto s = ReadField(text, pos);
    if (!s) return std::nullopt;
    second = *s;
  }
  if (pos != text.size() || *hour > 23 || *minute > 59 || second > 59) return std::nullopt;
  return ((int64_t{*hour} * 60 + *minute) * 60 + second) * 1000;
}

std::vector<std::string> SplitLogLines(std::string_view contents) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < contents.size(); ++i) {
    char c = contents[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(contents.substr(start, i - start));
    if (c == '\r' && i + 1 < contents.size() && contents[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < contents.size()) lines.emplace_back(contents.substr(start));
  return lines;
}

namespace {

// True when line holds the address: an IPv4 address as text anywhere in it, an IPv6
// address as a word of hexadecimal digits, colons and dots that reads as the same
// address in any spelling (compressed or not, either case, IPv4-mapped).
bool HoldsAddress(const std::string& line, const std::string& ip,
                  const std::optional<TIpAddress>& ipv6) {
  if (!ipv6) return line.find(ip) != std::string::npos;
  auto inWord = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
  };
  for (size_t i = 0; i < line.size();) {
    if (!inWord(line[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < line.size() && inWord(line[j])) ++j;
    std::string_view word = std::string_view(line).substr(i, j - i);
    // A sentence may end right behind the address.
    while (!word.empty() && word.back() == '.') word.remove_suffix(1);
    if (word.find(':') != std::string_view::npos && ParseIpAddress(word) == ipv6) return true;
    i = j;
  }
  return false;
}

}  // namespace

bool ScanPopLog(const std::vector<std::string>& lines, const std::string& ip, int64_t nowMsOfDay,
                int32_t delayMinutes) {
  // An empty address would match every line.
  if (ip.empty()) return false;
  std::optional<TIpAddress> ipv6;
  if (ip.find(':') != std::string::npos) {
    ipv6 = ParseIpAddress(ip);
    if (ipv6 && !ipv6->v6) {
      // An IPv4-mapped text is the IPv4 client.
      return ScanPopLog(lines, FormatIpAddress(*ipv6), nowMsOfDay, delayMinutes);
    }
  }
  const int64_t limit = int64_t{delayMinutes} * 60 * 1000;
  for (const auto& line : lines) {
    if (line.find("PASS **** OK") == std::string::npos) continue;
    if (line.find("-ERR") != std::string::npos) continue;
    if (!HoldsAddress(line, ip, ipv6)) continue;
    size_t p1 = line.find('[');
    size_t p2 = line.find(']');
    if (p1 == std::string::npos || p2 == std::string::npos) continue;
    std::string_view stamp;
    if (p2 > p1 + 1) stamp = std::string_view(line).substr(p1 + 1, p2 - p1 - 1);
    size_t colon = stamp.find(':');
    if (colon != std::string_view::npos) stamp.remove_prefix(colon + 1);
    auto t = ParseTimeOfDay(stamp);
    if (!t) return false;  // a malformed stamp ends the scan
    if (nowMsOfDay - *t <= limit) return true;
  }
  return false;
}

void TPopAuth::HandlePopAuth(const std::string& pop3logDir, int32_t delayMinutes,
                             const std::string& ipAddy, bool& valid, bool& handled) const {
  HandlePopAuth(pop3logDir, delayMinutes, ipAddy, valid, handled, NowLocal());
}

void TPopAuth::HandlePopAuth(const std::string& pop3logDir, int32_t delayMinutes,
                             const std::string& ipAddy, bool& valid, bool& handled,
                             const LocalTime& now) const {
  handled = true;
  valid = false;
  try {
    const std::string file = DailyLogFileName(pop3logDir, now);
    if (!FileExists(file)) return;
    std::string contents;
    {
      std::lock_guard<TCriticalSection> guard(lock_);
      if (!ReadWholeFile(file, contents)) return;
    }
    valid = ScanPopLog(SplitLogLines(contents), ipAddy, MillisecondOfDay(now), delayMinutes);
  } catch (...) {
    valid = false;
  }
}

}  // namespace kestran
