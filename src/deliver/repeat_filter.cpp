#include "deliver/repeat_filter.h"

namespace kestran {

TRepeatFilter::TRepeatFilter(std::function<double()> now, double intervalSeconds)
    : now_(std::move(now)), interval_(intervalSeconds) {}

std::optional<std::string> TRepeatFilter::Pass(const std::string& text) {
  const double now = now_();
  std::lock_guard<std::mutex> g(m_);
  auto it = seen_.find(text);
  if (it == seen_.end()) {
    if (seen_.size() >= kMaxTexts) {
      // Texts not seen for an interval are forgotten; should all be recent, all go.
      for (auto e = seen_.begin(); e != seen_.end();)
        e = now - e->second.lastLogged >= interval_ ? seen_.erase(e) : std::next(e);
      if (seen_.size() >= kMaxTexts) seen_.clear();
    }
    seen_[text] = Seen{now, 0};
    return text;
  }
  Seen& s = it->second;
  if (now - s.lastLogged < interval_) {
    ++s.held;
    return std::nullopt;
  }
  std::string line = text;
  if (s.held > 0)
    line += " (" + std::to_string(s.held) + " more time" + (s.held == 1 ? "" : "s") +
            " since the last report)";
  s = Seen{now, 0};
  return line;
}

}  // namespace kestran
