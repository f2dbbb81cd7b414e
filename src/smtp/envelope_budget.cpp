#include "smtp/envelope_budget.h"

#include "platform/memory_release.h"

namespace kestran {

TEnvelopeBudget::TEnvelopeBudget(uint64_t limit) : OnRelease(ReturnFreeMemory), limit_(limit) {}

bool TEnvelopeBudget::Take(uint64_t n) {
  uint64_t used = used_.load(std::memory_order_relaxed);
  uint64_t now = 0;
  do {
    now = used + n;
    const uint64_t limit = Limit();
    if (limit != 0 && now > limit) return false;
  } while (!used_.compare_exchange_weak(used, now, std::memory_order_relaxed));
  uint64_t mark = mark_.load(std::memory_order_relaxed);
  while (now > mark && !mark_.compare_exchange_weak(mark, now, std::memory_order_relaxed)) {
  }
  return true;
}

void TEnvelopeBudget::Give(uint64_t n) {
  const uint64_t now = used_.fetch_sub(n, std::memory_order_relaxed) - n;
  uint64_t mark = mark_.load(std::memory_order_relaxed);
  if (mark < now + kReleaseStep || now > mark / 2) return;
  // One of the sessions giving back at this moment does it; the mark starts over here.
  if (mark_.compare_exchange_strong(mark, now, std::memory_order_relaxed) && OnRelease) OnRelease();
}

bool TEnvelopeCharge::Take(TEnvelopeBudget& budget, uint64_t n) {
  if (budget_ != nullptr && budget_ != &budget) Release();
  if (!budget.Take(n)) return false;
  budget_ = &budget;
  bytes_ += n;
  return true;
}

void TEnvelopeCharge::Release() {
  if (budget_ != nullptr && bytes_ != 0) budget_->Give(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

}  // namespace kestran
