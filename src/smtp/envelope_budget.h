#pragma once
// The memory that the envelopes of all sessions hold, against one limit for the whole
// process. Sessions take bytes as they accept recipients and give them all back when
// their transaction ends; the count is one atomic word, so no session waits for another.
//
// When the bytes held fall back from a high mark (a burst of large envelopes is over),
// the heap's free pages are returned to the system: only once the use has halved and at
// least kReleaseStep bytes came back since the last time, so a steady load never pays
// for it and a burst pays a few times at most.

#include <atomic>
#include <cstdint>
#include <functional>

namespace kestran {

class TEnvelopeBudget {
 public:
  static constexpr uint64_t kReleaseStep = 1024 * 1024;

  // limit: bytes, 0 = no limit.
  explicit TEnvelopeBudget(uint64_t limit = 0);
  TEnvelopeBudget(const TEnvelopeBudget&) = delete;
  TEnvelopeBudget& operator=(const TEnvelopeBudget&) = delete;

  // May change while sessions run: what they hold stays theirs.
  void SetLimit(uint64_t bytes) { limit_.store(bytes, std::memory_order_relaxed); }
  uint64_t Limit() const { return limit_.load(std::memory_order_relaxed); }
  uint64_t InUse() const { return used_.load(std::memory_order_relaxed); }

  // Takes n bytes; false, taking nothing, when that would pass the limit.
  bool Take(uint64_t n);
  // Gives back n bytes taken before.
  void Give(uint64_t n);

  // What returns free memory to the system (ReturnFreeMemory unless replaced before any
  // session runs).
  std::function<void()> OnRelease;

 private:
  std::atomic<uint64_t> limit_{0};
  std::atomic<uint64_t> used_{0};
  // The highest use since memory was last returned.
  std::atomic<uint64_t> mark_{0};
};

// What one transaction holds of a budget; all of it goes back on Release and when the
// charge is destroyed, so no way out of a session keeps any.
class TEnvelopeCharge {
 public:
  TEnvelopeCharge() = default;
  ~TEnvelopeCharge() { Release(); }
  TEnvelopeCharge(const TEnvelopeCharge&) = delete;
  TEnvelopeCharge& operator=(const TEnvelopeCharge&) = delete;

  // Takes n more bytes of budget (a charge draws on one budget at a time); false when the
  // budget has no room, and nothing is taken.
  bool Take(TEnvelopeBudget& budget, uint64_t n);
  void Release();
  uint64_t Bytes() const { return bytes_; }

 private:
  TEnvelopeBudget* budget_ = nullptr;
  uint64_t bytes_ = 0;
};

}  // namespace kestran
