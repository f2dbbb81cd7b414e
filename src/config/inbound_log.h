#pragma once
// The host's daily inbound log: one file AddBackslash(InlogDir) + "1" + yymmdd + ".LOG"
// per local day, one entry per line ending in CR LF, appended to.

#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/sync.h"

namespace kestran {

// AddBackslash(dir) + "1" + yymmdd + ".LOG" for the local date of when.
std::string DailyLogFileName(const std::string& dir, const LocalTime& when);

// Appends protocol-log entries to the inbound log. Safe for concurrent calls: the
// directory probe and the append both run inside logLock, so concurrent writers never
// make each other's probe fail. Every error is swallowed (the entry is lost); a missing
// InlogDir is never created. The day's file is never followed as a link: a link (or a
// directory, a device) under its name loses the entry and is told to report.
class TInboundLog {
 public:
  using TReport = std::function<void(const std::string& text)>;
  explicit TInboundLog(TCriticalSection& logLock, TReport report = {})
      : lock_(logLock), report_(std::move(report)) {}

  void HandleLogFileEvent(bool enabled, const std::string& inlogDir,
                          const std::string& logFileEntry) const;
  // The same with the local time that names the file.
  void HandleLogFileEvent(bool enabled, const std::string& inlogDir,
                          const std::string& logFileEntry, const LocalTime& when) const;

 private:
  TCriticalSection& lock_;
  TReport report_;
};

}  // namespace kestran
