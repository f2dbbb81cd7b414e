#include "smtp/greet_gate.h"

#include "transport/conduit.h"
#include "transport/conduit_errors.h"

namespace kestran {
namespace {

constexpr int kTimedOut = 10060;

}  // namespace

TGreetWatch WatchBeforeGreeting(TConduitSocket& connection, uint32_t ms) {
  if (connection.UnreadCount() > 0) return TGreetWatch::Talked;
  try {
    connection.ReceiveMore(ms);
  } catch (const EConduitSocketError& e) {
    return e.ErrorCode() == kTimedOut ? TGreetWatch::Waited : TGreetWatch::Left;
  } catch (const EConduitException&) {
    return TGreetWatch::Left;
  }
  return connection.UnreadCount() > 0 ? TGreetWatch::Talked : TGreetWatch::Left;
}

TGreetPassList::TGreetPassList(size_t capacity, TRateClock clock)
    : clock_(std::move(clock)), capacity_(capacity == 0 ? 1 : capacity) {}

void TGreetPassList::Configure(uint32_t hours, size_t capacity) {
  std::lock_guard<std::mutex> g(lock_);
  holdUs_ = int64_t{hours} * 3600 * 1000000;
  capacity_ = capacity == 0 ? TRateLimiter::kDefaultTableSize : capacity;
  while (index_.size() > capacity_) Erase(std::prev(lru_.end()));
}

void TGreetPassList::Erase(TLru::iterator it) {
  index_.erase(it->Key);
  lru_.erase(it);
}

bool TGreetPassList::Passed(const TClientKey& key) {
  std::lock_guard<std::mutex> g(lock_);
  auto found = index_.find(key);
  if (found == index_.end()) return false;
  if (found->second->Until <= clock_()) {
    Erase(found->second);
    return false;
  }
  lru_.splice(lru_.begin(), lru_, found->second);
  return true;
}

void TGreetPassList::Remember(const TClientKey& key) {
  std::lock_guard<std::mutex> g(lock_);
  if (holdUs_ == 0) return;
  const int64_t now = clock_();
  // Passes that ran out go from the old end first.
  while (!lru_.empty() && lru_.back().Until <= now) Erase(std::prev(lru_.end()));
  auto found = index_.find(key);
  if (found != index_.end()) {
    found->second->Until = now + holdUs_;
    lru_.splice(lru_.begin(), lru_, found->second);
    return;
  }
  if (index_.size() >= capacity_) Erase(std::prev(lru_.end()));
  lru_.push_front(TPass{key, now + holdUs_});
  index_.emplace(key, lru_.begin());
}

size_t TGreetPassList::Keys() const {
  std::lock_guard<std::mutex> g(lock_);
  return index_.size();
}

}  // namespace kestran
