#pragma once
// Waitable objects: the signalled/non-signalled state that events and threads share,
// and waits for any or all of several of them with a time-out. All waitables use one
// process-wide lock and condition, which keeps multi-object waits simple and exact.

#include <cstdint>
#include <vector>

namespace kestran {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;    // first object (or all) signalled
constexpr uint32_t kWaitTimeout = 258;  // time ran out
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

class Waitable {
 public:
  explicit Waitable(bool manualReset = true, bool initialState = false);
  Waitable(const Waitable&) = delete;
  Waitable& operator=(const Waitable&) = delete;
  virtual ~Waitable() = default;

  void Set();
  void Reset();
  bool IsSet() const;

 private:
  friend uint32_t WaitForWaitables(const std::vector<Waitable*>&, bool, uint32_t);
  bool manualReset_;
  bool signalled_;
  int waiters_ = 0;  // waits that include this object now; Set wakes nobody when 0
};

// Waits until one (waitAll false) or every (waitAll true) object is signalled.
// Returns kWaitObject0 + index of the first signalled object (or kWaitObject0 when all
// are), kWaitTimeout when the time ran out, kWaitFailed for an empty or too long list.
uint32_t WaitForWaitables(const std::vector<Waitable*>& objects, bool waitAll, uint32_t timeoutMs);

}  // namespace kestran
