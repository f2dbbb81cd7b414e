#pragma once
// Rates per client: for each client key and each counted event (connections, MAIL, RCPT)
// one token bucket, kept as a single theoretical arrival time (the generic cell rate
// algorithm). A counter allows Burst events at once and then one every 60/PerMinute
// seconds; there are no windows, so no burst passes at a window's edge. A take is
// answered at once, granted or refused with the time until a token is back: no thread
// ever waits for one.
//
// The table is bounded. A key whose buckets are all full again holds nothing that a new
// key would not have, so it goes first: from the least recently used end as the table is
// used, all of them at Sweep, and before any other when room is needed. Only when every
// key still counts is the least recently used one evicted (and counted).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>

#include "smtp/client_key.h"
#include "smtp/receiver_metrics.h"

namespace kestran {

enum class TRateCounter : size_t { Connect, Mail, Rcpt };
inline constexpr size_t kRateCounters = 3;

// Microseconds from a fixed point; never goes back. Tests inject their own.
using TRateClock = std::function<int64_t()>;
int64_t SteadyMicroseconds();

struct TRateDecision {
  bool Granted = true;
  int64_t RetryAfterUs = 0;  // refused: until the next token is back
  // Whole seconds until the next token, rounded up, at least 1.
  uint32_t RetrySeconds() const;
};

class TRateLimiter {
 public:
  static constexpr size_t kDefaultTableSize = 65536;

  explicit TRateLimiter(size_t tableSize = kDefaultTableSize,
                        TRateClock clock = SteadyMicroseconds);

  // perMinute 0 switches the counter off (every take is granted and nothing is kept);
  // a burst of 0 is taken as 1.
  void SetLimit(TRateCounter counter, uint32_t perMinute, uint32_t burst);
  bool Enabled(TRateCounter counter) const;
  // Keys held at most (0: the default); a smaller table drops the least recently used.
  void SetTableSize(size_t keys);
  size_t TableSize() const;
  // Where the key count and the evictions are published (the process-wide counters
  // unless changed; nullptr: nowhere).
  void SetMetrics(TReceiverMetrics* metrics);

  // One event of counter for key.
  TRateDecision Take(const TClientKey& key, TRateCounter counter);

  size_t Keys() const;
  uint64_t Evictions() const { return evictions_.load(std::memory_order_relaxed); }
  // Drops every key whose buckets are all full again; returns the keys left.
  size_t Sweep();

 private:
  struct TLimit {
    int64_t IntervalUs = 0;   // one token every this long; 0 = off
    int64_t ToleranceUs = 0;  // (burst - 1) intervals
  };
  struct TEntry {
    TClientKey Key;
    std::array<int64_t, kRateCounters> Tat{};  // theoretical arrival time per counter
    int64_t FullAt = 0;                        // the latest Tat: from then on all full
  };
  using TLru = std::list<TEntry>;  // most recently used first

  // Makes room for one more key: an idle one goes first, else the least recently used.
  void MakeRoom(int64_t now);
  // Drops up to max idle keys from the least recently used end.
  void TrimIdle(int64_t now, int max);
  void Erase(TLru::iterator it);
  void Publish();

  TRateClock clock_;
  mutable std::mutex lock_;
  std::array<TLimit, kRateCounters> limits_{};
  size_t capacity_;
  TLru lru_;
  std::unordered_map<TClientKey, TLru::iterator, TClientKeyHash> index_;
  std::atomic<uint64_t> evictions_{0};
  TReceiverMetrics* metrics_;
};

}  // namespace kestran
