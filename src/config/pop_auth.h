#pragma once
// POP-before-SMTP: a client may relay when the host's POP3 log of the day holds a
// successful login from its address within the last DelayMinutes minutes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

namespace kestran {

// Reads a time of day "h:mm" or "h:mm:ss" (blanks around it allowed; hours 0..23,
// minutes and seconds 0..59) as milliseconds since midnight; nothing when malformed.
std::optional<int64_t> ParseTimeOfDay(std::string_view text);

// Splits file contents into lines at CR LF, LF or CR.
std::vector<std::string> SplitLogLines(std::string_view contents);

// The scan of the POP3 log lines. A line qualifies when it contains "PASS **** OK",
// does not contain "-ERR", contains ip (as a substring; an IPv6 ip as a word that reads
// as the same address in any spelling) and holds a "[" and a "]". The
// first qualifying line whose time of day (the text between its first "[" and first
// "]", after the first ":" there) is at most delayMinutes before nowMsOfDay makes the
// result true (a stamp later than now counts). A qualifying line whose stamp is not a
// valid time ends the scan with false.
bool ScanPopLog(const std::vector<std::string>& lines, const std::string& ip, int64_t nowMsOfDay,
                int32_t delayMinutes);

// The OnPopAuth handler of the set-up. popLogLock serialises the loading of the file
// between threads of this process; the file is read with full sharing while the host
// appends to it. Raises nothing; handled is always set true.
class TPopAuth {
 public:
  explicit TPopAuth(TCriticalSection& popLogLock) : lock_(popLogLock) {}

  void HandlePopAuth(const std::string& pop3logDir, int32_t delayMinutes, const std::string& ipAddy,
                     bool& valid, bool& handled) const;
  // The same at a given local time (file name and time of day).
  void HandlePopAuth(const std::string& pop3logDir, int32_t delayMinutes, const std::string& ipAddy,
                     bool& valid, bool& handled, const LocalTime& now) const;

 private:
  TCriticalSection& lock_;
};

}  // namespace kestran
