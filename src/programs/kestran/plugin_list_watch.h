#pragma once
// The plug-in list file, read again when it changes: looked at every few seconds while
// the service runs; a new text replaces the server's plug-in names as a whole. A file
// that cannot be read keeps the last good list, with one event-log line until it can be
// read again.

#include <cstdint>
#include <functional>
#include <string>

#include "smtp/plugin_users.h"

namespace kestran {

class TPluginListWatch {
 public:
  static constexpr int64_t kIntervalMs = 5000;
  using TReport = std::function<void(int kind, const std::string& text)>;

  TPluginListWatch(std::string path, TPluginUsers& users, TReport report);
  // Reads the file for the first time (at start; a missing file is an empty list).
  void Load();
  // Looks at the file again when kIntervalMs have passed since the last look.
  void Tick(int64_t nowMs);

 private:
  void Look(bool first);

  const std::string path_;
  TPluginUsers& users_;
  TReport report_;
  std::string contents_;  // the text the names were taken from
  bool failing_ = false;  // the last look could not read the file
  int64_t nextMs_ = 0;
};

}  // namespace kestran
