#include "smtp/rate_limit_report.h"

namespace kestran {
namespace {

std::string Counts(const std::array<uint64_t, kRateRefusals>& counts) {
  std::string text;
  for (size_t i = 0; i < kRateRefusals; ++i) {
    if (counts[i] == 0) continue;
    if (!text.empty()) text += ", ";
    text += kRateRefusalNames[i] + std::string(" ") + std::to_string(counts[i]);
  }
  return text;
}

}  // namespace

TRateLimitReport::TRateLimitReport(TRateClock clock, int64_t intervalUs)
    : clock_(std::move(clock)), intervalUs_(intervalUs) {}

std::string TRateLimitReport::Count(TRateRefusal what, bool logOnly) {
  const int64_t now = clock_();
  std::lock_guard<std::mutex> g(lock_);
  ++(logOnly ? wouldRefuse_ : refused_)[static_cast<size_t>(what)];
  return DueLocked(now);
}

std::string TRateLimitReport::Due() {
  const int64_t now = clock_();
  std::lock_guard<std::mutex> g(lock_);
  return DueLocked(now);
}

std::string TRateLimitReport::DueLocked(int64_t now) {
  if (reported_ && now - reportedAt_ < intervalUs_) return std::string();
  const std::string refused = Counts(refused_);
  const std::string would = Counts(wouldRefuse_);
  if (refused.empty() && would.empty()) return std::string();
  std::string line = "Rate limits since the last report:";
  if (!refused.empty()) line += " refused " + refused;
  if (!would.empty())
    line +=
        std::string(refused.empty() ? "" : ";") + " would have refused (RateLimitLogOnly) " + would;
  reported_ = true;
  reportedAt_ = now;
  refused_.fill(0);
  wouldRefuse_.fill(0);
  return line;
}

}  // namespace kestran
