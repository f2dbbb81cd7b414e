#pragma once
// Back-pressure: whether the queue has room for more mail. MAIL is refused while too many
// pairs wait in the queue directory, or while its file system is short of free space.
// The directory and the file system are looked at no more than once a second, by one
// session at a time; the others go by the last look.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kestran {

class TQueueRoom {
 public:
  static constexpr int64_t kSampleIntervalMs = 1000;
  static constexpr int64_t kReportIntervalMs = 60000;

  // maxPairs: pairs that may wait (0: no limit); minFreeBytes: free space the queue's
  // file system keeps (0: not checked). Set before sessions run.
  void Configure(const std::string& dir, uint32_t maxPairs, uint64_t minFreeBytes);
  bool Enabled() const { return maxPairs_ != 0 || minFreeBytes_ != 0; }

  // False while mail is refused; looks again when the last look is a second old.
  // nowMs: a steady clock in milliseconds.
  bool HasRoom(int64_t nowMs);
  bool Refusing() const { return refusing_.load(std::memory_order_relaxed); }
  // Refusing, or its end not yet reported: someone should keep looking even while no
  // session asks (the service does, every second).
  bool NeedsLooking() const {
    return refusing_.load(std::memory_order_relaxed) ||
           reportedRefusing_.load(std::memory_order_relaxed);
  }

  // A line for the event log when the refusing starts or stops (at most one a minute;
  // a change within the minute is reported once it is over, at a later look).
  std::function<void(bool refusing, const std::string& text)> OnChange;

 private:
  void Sample(int64_t nowMs);

  std::string dir_;
  uint32_t maxPairs_ = 0;
  uint64_t minFreeBytes_ = 0;
  std::atomic<bool> refusing_{false};
  std::atomic<int64_t> nextSampleMs_{0};
  std::mutex sampling_;  // held by the one session that looks
  // Under sampling_.
  std::atomic<bool> reportedRefusing_{false};
  bool reportedOnce_ = false;
  int64_t lastReportMs_ = 0;
  std::string why_;
};

}  // namespace kestran
