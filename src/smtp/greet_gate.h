#pragma once
// The pause before the greeting: mail servers wait for the 220 before they speak, many
// spam bots do not. With a pause set, a client is watched for that long before it is
// greeted; one that sends anything first is turned away. A client that waited is
// remembered by its key for a while and is greeted at once when it comes back.

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "smtp/client_key.h"
#include "smtp/rate_limiter.h"

namespace kestran {

class TConduitSocket;

// What the client did while it was watched.
enum class TGreetWatch { Waited, Talked, Left };

// Waits up to ms milliseconds for the client to send something (bytes already received
// and not read count at once). Any failure of the connection other than the wait running
// out is Left.
TGreetWatch WatchBeforeGreeting(TConduitSocket& connection, uint32_t ms);

// The keys of clients that waited for the greeting, each for a while; bounded, the least
// recently used going first.
class TGreetPassList {
 public:
  explicit TGreetPassList(size_t capacity = TRateLimiter::kDefaultTableSize,
                          TRateClock clock = SteadyMicroseconds);
  // How long a pass holds (0: nobody is remembered) and how many keys are kept.
  void Configure(uint32_t hours, size_t capacity);
  bool Passed(const TClientKey& key);
  void Remember(const TClientKey& key);
  size_t Keys() const;

 private:
  struct TPass {
    TClientKey Key;
    int64_t Until = 0;
  };
  using TLru = std::list<TPass>;

  void Erase(TLru::iterator it);

  TRateClock clock_;
  mutable std::mutex lock_;
  int64_t holdUs_ = 0;
  size_t capacity_;
  TLru lru_;
  std::unordered_map<TClientKey, TLru::iterator, TClientKeyHash> index_;
};

}  // namespace kestran
