#pragma once
// The event log's view of the rate limits: at most one summary line an interval (a
// minute unless changed), with what was refused, and what would have been, since the
// line before.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "smtp/rate_limiter.h"
#include "smtp/receiver_metrics.h"

namespace kestran {

class TRateLimitReport {
 public:
  static constexpr int64_t kMinuteUs = 60 * int64_t{1000000};

  explicit TRateLimitReport(TRateClock clock = SteadyMicroseconds, int64_t intervalUs = kMinuteUs);

  // Counts one refusal (logOnly: one let through); the summary line when one is due,
  // else "".
  std::string Count(TRateRefusal what, bool logOnly);
  // The summary line when one is due and something was counted since the last, else "".
  std::string Due();

 private:
  std::string DueLocked(int64_t now);

  TRateClock clock_;
  int64_t intervalUs_;
  std::mutex lock_;
  bool reported_ = false;
  int64_t reportedAt_ = 0;
  std::array<uint64_t, kRateRefusals> refused_{};
  std::array<uint64_t, kRateRefusals> wouldRefuse_{};
};

}  // namespace kestran
