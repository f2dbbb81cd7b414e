#include "smtp/smtp_debug_log.h"

#include <cstdio>
#include <mutex>

#include "platform/clock.h"
#include "platform/files.h"
#include "smtp/queue_writer.h"

namespace kestran {
namespace {

// All sessions of all servers in the process write through this one lock.
std::mutex& DebugLogLock() {
  static std::mutex m;
  return m;
}

}  // namespace

std::string DebugLogTimePrefix() {
  LocalTime t = NowLocal();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d", t.month % 100, t.day % 100,
                t.year % 100, t.hour % 100, t.minute % 100, t.second % 100);
  return buf;
}

void AppendDebugLog(const std::string& dir, const std::string& text) {
  std::string line = DebugLogTimePrefix() + " " + text + "\r\n";
  std::lock_guard<std::mutex> g(DebugLogLock());
  TFile f;
  if (!f.Open(QueueDirPrefix(dir) + "Smtp.Txt", TFile::Mode::Append)) return;
  f.Write(line);
}

}  // namespace kestran
