#include "smtp/rate_limiter.h"

#include <algorithm>
#include <chrono>

namespace kestran {
namespace {

// Idle keys looked for before the least recently used one is evicted.
constexpr int kIdleScan = 64;
// Idle keys dropped from the old end on every take: the table shrinks as it is used.
constexpr int kTrimPerTake = 2;

}  // namespace

int64_t SteadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t TRateDecision::RetrySeconds() const {
  const int64_t s = (RetryAfterUs + 999999) / 1000000;
  return static_cast<uint32_t>(std::clamp<int64_t>(s, 1, UINT32_MAX));
}

TRateLimiter::TRateLimiter(size_t tableSize, TRateClock clock)
    : clock_(std::move(clock)),
      capacity_(tableSize == 0 ? kDefaultTableSize : tableSize),
      metrics_(&ReceiverMetrics()) {}

void TRateLimiter::SetLimit(TRateCounter counter, uint32_t perMinute, uint32_t burst) {
  std::lock_guard<std::mutex> g(lock_);
  TLimit& l = limits_[static_cast<size_t>(counter)];
  if (perMinute == 0) {
    l = TLimit{};
    return;
  }
  l.IntervalUs = std::max<int64_t>(1, int64_t{60000000} / perMinute);
  l.ToleranceUs = l.IntervalUs * (int64_t{std::max<uint32_t>(burst, 1)} - 1);
}

bool TRateLimiter::Enabled(TRateCounter counter) const {
  std::lock_guard<std::mutex> g(lock_);
  return limits_[static_cast<size_t>(counter)].IntervalUs != 0;
}

void TRateLimiter::SetTableSize(size_t keys) {
  std::lock_guard<std::mutex> g(lock_);
  capacity_ = keys == 0 ? kDefaultTableSize : keys;
  while (index_.size() > capacity_) {
    Erase(std::prev(lru_.end()));
    evictions_.fetch_add(1, std::memory_order_relaxed);
    if (metrics_ != nullptr) Count(metrics_->RateLimitEvictions);
  }
  Publish();
}

size_t TRateLimiter::TableSize() const {
  std::lock_guard<std::mutex> g(lock_);
  return capacity_;
}

void TRateLimiter::SetMetrics(TReceiverMetrics* metrics) {
  std::lock_guard<std::mutex> g(lock_);
  metrics_ = metrics;
}

void TRateLimiter::Erase(TLru::iterator it) {
  index_.erase(it->Key);
  lru_.erase(it);
}

void TRateLimiter::Publish() {
  if (metrics_ != nullptr) metrics_->RateLimitKeys.store(index_.size(), std::memory_order_relaxed);
}

void TRateLimiter::TrimIdle(int64_t now, int max) {
  for (int i = 0; i < max && !lru_.empty() && lru_.back().FullAt <= now; ++i)
    Erase(std::prev(lru_.end()));
}

void TRateLimiter::MakeRoom(int64_t now) {
  auto it = lru_.end();
  for (int i = 0; i < kIdleScan && it != lru_.begin(); ++i) {
    --it;
    if (it->FullAt <= now) {
      Erase(it);
      return;
    }
  }
  Erase(std::prev(lru_.end()));
  evictions_.fetch_add(1, std::memory_order_relaxed);
  if (metrics_ != nullptr) Count(metrics_->RateLimitEvictions);
}

TRateDecision TRateLimiter::Take(const TClientKey& key, TRateCounter counter) {
  const size_t c = static_cast<size_t>(counter);
  std::lock_guard<std::mutex> g(lock_);
  const TLimit limit = limits_[c];
  if (limit.IntervalUs == 0) return {};
  const int64_t now = clock_();
  TrimIdle(now, kTrimPerTake);
  auto found = index_.find(key);
  TLru::iterator entry;
  if (found != index_.end()) {
    entry = found->second;
    lru_.splice(lru_.begin(), lru_, entry);
  } else {
    if (index_.size() >= capacity_) MakeRoom(now);
    lru_.push_front(TEntry{key, {}, 0});
    entry = lru_.begin();
    index_.emplace(key, entry);
  }
  const int64_t tat = std::max(entry->Tat[c], now);
  TRateDecision d;
  if (tat - now > limit.ToleranceUs) {
    d.Granted = false;
    d.RetryAfterUs = tat - now - limit.ToleranceUs;
  } else {
    entry->Tat[c] = tat + limit.IntervalUs;
    entry->FullAt = std::max(entry->FullAt, entry->Tat[c]);
  }
  Publish();
  return d;
}

size_t TRateLimiter::Keys() const {
  std::lock_guard<std::mutex> g(lock_);
  return index_.size();
}

size_t TRateLimiter::Sweep() {
  std::lock_guard<std::mutex> g(lock_);
  const int64_t now = clock_();
  for (auto it = lru_.begin(); it != lru_.end();) {
    auto next = std::next(it);
    if (it->FullAt <= now) Erase(it);
    it = next;
  }
  Publish();
  return index_.size();
}

}  // namespace kestran
