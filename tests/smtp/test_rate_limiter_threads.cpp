// test-labels: threads
// Many threads taking from one key at once never get more than the bucket allows.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "smtp/client_key.h"
#include "smtp/rate_limiter.h"

namespace kestran {
namespace {

TEST(RateLimiterThreads, EightThreadsOnOneKeyGetNoMoreThanBurstPlusElapsedTimesRate) {
  constexpr uint32_t kPerMinute = 600000;  // a token every 100 us
  constexpr uint32_t kBurst = 50;
  TRateLimiter limiter(1000);
  limiter.SetMetrics(nullptr);
  limiter.SetLimit(TRateCounter::Rcpt, kPerMinute, kBurst);
  const TClientKey key = *ClientKeyOf("2001:db8::1", 64);
  std::atomic<uint64_t> granted{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      uint64_t mine = 0;
      for (int i = 0; i < 10000; ++i) {
        // Another client of the same /64 counts against the same bucket.
        const TClientKey same = *ClientKeyOf(i % 2 ? "2001:db8::1" : "2001:db8::2", 64);
        if (limiter.Take(i % 2 ? key : same, TRateCounter::Rcpt).Granted) ++mine;
      }
      granted += mine;
    });
  }
  const int64_t start = SteadyMicroseconds();
  go = true;
  for (auto& t : threads) t.join();
  const int64_t elapsed = SteadyMicroseconds() - start;
  const uint64_t interval = 60000000 / kPerMinute;
  EXPECT_LE(granted.load(), kBurst + static_cast<uint64_t>(elapsed) / interval + 1);
  EXPECT_GE(granted.load(), kBurst);
  EXPECT_EQ(limiter.Keys(), 1u);
}

}  // namespace
}  // namespace kestran
