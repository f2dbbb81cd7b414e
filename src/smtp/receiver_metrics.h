#pragma once
// The receiver's counters since the process started: connections, replies, messages,
// recipients, lookups, TLS and queue flushes. Sessions add to them with relaxed atomic
// increments, never under a lock; the metrics file reads them as they are.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kestran {

using TMetricCounter = std::atomic<uint64_t>;

inline void Count(TMetricCounter& counter, uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

// Why a recipient was refused.
enum class TRecipientRefusal { RelayingDenied, UnknownUser, TooMany, Syntax, AccessDenied };
inline constexpr size_t kRecipientRefusals = 5;

// What a rate limit refused: a connection, a MAIL, a RCPT, the RCPT after too many
// refused recipients, a client that talked before the greeting.
enum class TRateRefusal { Connect, Mail, Rcpt, BadRcpt, Pregreet };
inline constexpr size_t kRateRefusals = 5;
inline constexpr std::array<const char*, kRateRefusals> kRateRefusalNames = {
    "connect", "mail", "rcpt", "bad_rcpt", "pregreet"};

// The outcome of one DNS lookup: a block list's answer (Found = listed), or a reverse
// lookup's (Found = a name).
enum class TLookupResult { Found, NotFound, Timeout, Error };
inline constexpr size_t kLookupResults = 4;
// A failed lookup's result from the socket error it left (no such name or no record,
// server failure or time-out, anything else).
TLookupResult LookupFailure(int socketError);

// The TLS versions counted apart; anything else is counted as the last.
inline constexpr std::array<const char*, 4> kTlsVersionNames = {"TLSv1.2", "TLSv1.3", "TLSv1.1",
                                                                "other"};

// Upper bounds in seconds of the flush-duration histogram's buckets (+Inf follows).
inline constexpr std::array<double, 12> kFlushBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                         0.05,   0.1,   0.25,   0.5,   1,    2.5};

class TReceiverMetrics {
 public:
  // Block lists counted one by one; a list past these shares the last one's counts.
  static constexpr size_t kMaxBlockLists = 32;

  TReceiverMetrics();

  // --- counting (any thread, lock-free) -----------------------------------------------
  // One reply of code (200..599; anything else is not counted).
  void CountReply(int code) {
    if (code >= 200 && code <= 599) Count(replies_[static_cast<size_t>(code - 200)]);
  }
  // The reply's code from its first three characters, for a reply's last line only
  // ("250-..." continues, so it is not counted).
  void CountReplyLine(const std::string& line);
  void CountBlockListLookup(size_t list, TLookupResult result) {
    Count(blockListLookups_[Slot(list)][static_cast<size_t>(result)]);
  }
  void CountBlockListRefusal(size_t list) { Count(blockListRefusals_[Slot(list)]); }
  void CountReverseLookup(TLookupResult result) {
    Count(reverseLookups_[static_cast<size_t>(result)]);
  }
  void CountRecipientRefused(TRecipientRefusal why) {
    Count(recipientsRefused_[static_cast<size_t>(why)]);
  }
  void CountTlsMessage(const std::string& version);
  // A refusal of a rate limit; logOnly: one that RateLimitLogOnly let pass.
  void CountRateLimit(TRateRefusal what, bool logOnly) {
    Count((logOnly ? rateLimitWouldRefuse_ : rateLimitRefused_)[static_cast<size_t>(what)]);
  }
  void CountFlush(uint64_t nanoseconds, bool ok);

  TMetricCounter ConnectionsAccepted{0};
  TMetricCounter ConnectionsClosed{0};
  TMetricCounter RefusedByLimit{0};
  TMetricCounter RefusedByBlackList{0};
  TMetricCounter MessagesQueued{0};
  TMetricCounter BytesQueued{0};
  TMetricCounter RecipientsAccepted{0};
  TMetricCounter PopRelays{0};
  TMetricCounter TlsHandshakesOk{0};
  TMetricCounter TlsHandshakesFailed{0};
  TMetricCounter StoreFailures{0};
  TMetricCounter StorageRefusals{0};  // MAIL answered 452 for want of queue room
  TMetricCounter RateLimitKeys{0};    // a gauge: client keys in the rate table now
  TMetricCounter RateLimitEvictions{0};

  // --- reading ------------------------------------------------------------------------
  // The names of the configured block lists, by their position; set at start.
  void SetBlockListNames(std::vector<std::string> names);
  std::vector<std::string> BlockListNames() const;
  uint64_t Replies(int code) const {
    return code >= 200 && code <= 599 ? Load(replies_[static_cast<size_t>(code - 200)]) : 0;
  }
  uint64_t BlockListLookups(size_t list, TLookupResult r) const {
    return Load(blockListLookups_[Slot(list)][static_cast<size_t>(r)]);
  }
  uint64_t BlockListRefusals(size_t list) const { return Load(blockListRefusals_[Slot(list)]); }
  uint64_t ReverseLookups(TLookupResult r) const {
    return Load(reverseLookups_[static_cast<size_t>(r)]);
  }
  uint64_t RecipientsRefused(TRecipientRefusal why) const {
    return Load(recipientsRefused_[static_cast<size_t>(why)]);
  }
  uint64_t RateLimitRefused(TRateRefusal what) const {
    return Load(rateLimitRefused_[static_cast<size_t>(what)]);
  }
  uint64_t RateLimitWouldRefuse(TRateRefusal what) const {
    return Load(rateLimitWouldRefuse_[static_cast<size_t>(what)]);
  }
  uint64_t TlsMessages(size_t version) const { return Load(tlsMessages_[version]); }
  uint64_t Flushes() const { return Load(flushes_); }
  uint64_t FlushFailures() const { return Load(flushFailures_); }
  uint64_t FlushNanoseconds() const { return Load(flushNanoseconds_); }
  // Flushes that took at most kFlushBuckets[i] (not cumulative).
  uint64_t FlushBucket(size_t i) const { return Load(flushBuckets_[i]); }
  // Seconds since 1970 when this process started counting.
  int64_t StartTime() const { return startTime_; }

  static uint64_t Load(const TMetricCounter& c) { return c.load(std::memory_order_relaxed); }

 private:
  static size_t Slot(size_t list) { return list < kMaxBlockLists ? list : kMaxBlockLists - 1; }

  std::array<TMetricCounter, 400> replies_{};
  std::array<std::array<TMetricCounter, kLookupResults>, kMaxBlockLists> blockListLookups_{};
  std::array<TMetricCounter, kMaxBlockLists> blockListRefusals_{};
  std::array<TMetricCounter, kLookupResults> reverseLookups_{};
  std::array<TMetricCounter, kRecipientRefusals> recipientsRefused_{};
  std::array<TMetricCounter, kTlsVersionNames.size()> tlsMessages_{};
  std::array<TMetricCounter, kRateRefusals> rateLimitRefused_{};
  std::array<TMetricCounter, kRateRefusals> rateLimitWouldRefuse_{};
  TMetricCounter flushes_{0};
  TMetricCounter flushFailures_{0};
  TMetricCounter flushNanoseconds_{0};
  std::array<TMetricCounter, kFlushBuckets.size() + 1> flushBuckets_{};
  int64_t startTime_ = 0;
  mutable std::mutex namesLock_;
  std::vector<std::string> blockListNames_;
};

// The process-wide counters.
TReceiverMetrics& ReceiverMetrics();

}  // namespace kestran
