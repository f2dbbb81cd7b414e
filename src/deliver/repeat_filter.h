#pragma once
// Keeps a refusal that repeats on every pass (a "failed" directory replaced by a link, a
// state file that cannot be written) from filling the log: each distinct text is let
// through at most once per interval, and the next one let through tells how often it
// was held back since.

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kestran {

class TRepeatFilter {
 public:
  // now: seconds on any steady scale.
  explicit TRepeatFilter(std::function<double()> now, double intervalSeconds = 60);
  // The line to log for text now, or nothing while it is held back.
  std::optional<std::string> Pass(const std::string& text);

 private:
  struct Seen {
    double lastLogged = 0;
    unsigned held = 0;
  };
  static constexpr size_t kMaxTexts = 1000;

  std::function<double()> now_;
  double interval_;
  std::mutex m_;
  std::map<std::string, Seen> seen_;
};

}  // namespace kestran
