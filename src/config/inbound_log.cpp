#include "config/inbound_log.h"

#include <cstdio>
#include <mutex>

#include "config/dir_helpers.h"
#include "config/settings_loader.h"
#include "platform/files.h"

namespace kestran {

std::string DailyLogFileName(const std::string& dir, const LocalTime& when) {
  char stem[32];
  std::snprintf(stem, sizeof stem, "1%02d%02d%02d.LOG", ((when.year % 100) + 100) % 100,
                when.month % 100, when.day % 100);
  return AddBackslash(dir) + stem;
}

void TInboundLog::HandleLogFileEvent(bool enabled, const std::string& inlogDir,
                                     const std::string& logFileEntry) const {
  if (!enabled) return;
  HandleLogFileEvent(enabled, inlogDir, logFileEntry, NowLocal());
}

void TInboundLog::HandleLogFileEvent(bool enabled, const std::string& inlogDir,
                                     const std::string& logFileEntry, const LocalTime& when) const {
  if (!enabled) return;
  try {
    const std::string file = DailyLogFileName(inlogDir, when);
    const std::string line = logFileEntry + "\r\n";
    std::lock_guard<TCriticalSection> guard(lock_);
    // The probe uses one file name for every writer, so it runs under the lock too.
    if (!IsDirWritable(inlogDir)) return;
    TFile f;
    if (!f.Open(file, TFile::Mode::Append)) {
      if (LastFileError() == kErrorNotPlainFile && report_)
        report_("The inbound log " + file +
                " is a link or another object that is not a plain file: it is not written to, "
                "and the entry is lost");
      return;
    }
    f.Write(line);
    f.Close();
  } catch (...) {
    // The entry is lost; the connection goes on.
  }
}

}  // namespace kestran
