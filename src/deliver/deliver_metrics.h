#pragma once
// kestran-deliver's counters since the process started: messages and recipients by how
// their delivery went, the delay from queueing to delivery, and notifications. Workers add
// to them with relaxed atomic increments, never under a lock; the metrics file reads them
// as they are, with what waits in the queue directory counted at each rewrite.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestran {

// How one delivery attempt ended for a recipient, or one pass for a message.
enum class TDeliverResult { Sent, Deferred, Bounced };
inline constexpr size_t kDeliverResults = 3;

// Upper bounds in seconds of the delay histogram's buckets (+Inf follows): local
// deliveries take a fraction of a second, retries minutes to days.
inline constexpr std::array<double, 16> kDeliveryDelayBuckets = {
    0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300, 900, 3600, 14400, 86400, 432000};

class TDeliverMetrics {
 public:
  TDeliverMetrics();

  // A recipient's attempt; the delay (seconds since the pair was queued) of a recipient
  // delivered goes into the histogram.
  void CountRecipient(TDeliverResult result, double delaySeconds);
  // A pass over a message: Sent when it left the queue delivered to everyone, Bounced when
  // it left with a failed recipient, Deferred when recipients wait for another try.
  void CountMessage(TDeliverResult result) { Add(messages_[Index(result)]); }
  void CountNotification(bool accepted) {
    Add(accepted ? notificationsSent_ : notificationsFailed_);
  }

  uint64_t Recipients(TDeliverResult r) const { return Load(recipients_[Index(r)]); }
  uint64_t Messages(TDeliverResult r) const { return Load(messages_[Index(r)]); }
  uint64_t NotificationsSent() const { return Load(notificationsSent_); }
  uint64_t NotificationsFailed() const { return Load(notificationsFailed_); }
  // Delivered recipients whose delay was at most kDeliveryDelayBuckets[i] and above the
  // bound before (not cumulative); i == size(): above the last bound.
  uint64_t DelayBucket(size_t i) const { return Load(delayBuckets_[i]); }
  double DelaySumSeconds() const { return static_cast<double>(Load(delayMicroseconds_)) / 1e6; }
  int64_t StartTime() const { return startTime_; }

 private:
  using TCounter = std::atomic<uint64_t>;
  static void Add(TCounter& c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
  static uint64_t Load(const TCounter& c) { return c.load(std::memory_order_relaxed); }
  static size_t Index(TDeliverResult r) { return static_cast<size_t>(r); }

  std::array<TCounter, kDeliverResults> recipients_{};
  std::array<TCounter, kDeliverResults> messages_{};
  TCounter notificationsSent_{0};
  TCounter notificationsFailed_{0};
  std::array<TCounter, kDeliveryDelayBuckets.size() + 1> delayBuckets_{};
  TCounter delayMicroseconds_{0};
  int64_t startTime_ = 0;
};

// What waits in the queue, counted when the file is written.
struct TDeliverQueueGauges {
  bool Scanned = false;             // false: the queue directory could not be read
  uint64_t NewPairs = 0;            // complete pairs not tried yet (no state file)
  uint64_t DeferredPairs = 0;       // complete pairs tried, waiting for their next try
  uint64_t FailedPairs = 0;         // set aside in "failed"
  uint64_t DamagedPairs = 0;        // set aside in "damaged"
  uint64_t InProgress = 0;          // being delivered now
  double OldestPairAgeSeconds = 0;  // of the complete pairs in the queue directory
};

// Counts the pairs of the native queue directory (ending in "/") by their names, and the
// age of the oldest from its recipient file; now in seconds since 1970.
TDeliverQueueGauges CountDeliverQueue(const std::string& queueDir, int64_t now);

// Every family with its HELP and TYPE lines.
std::string FormatDeliverMetrics(const TDeliverMetrics& m, const TDeliverQueueGauges& g,
                                 const std::string& version);

}  // namespace kestran
