#include "platform/waitable.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestran {
namespace {

// Both live as long as the process and are never destroyed: a thread that has just
// signalled its end may still be notifying while the process exits.
std::mutex& Lock() {
  static auto* m = new std::mutex;
  return *m;
}
std::condition_variable& Changed() {
  static auto* cv = new std::condition_variable;
  return *cv;
}

}  // namespace

Waitable::Waitable(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

void Waitable::Set() {
  bool waitedFor;
  {
    std::lock_guard<std::mutex> g(Lock());
    signalled_ = true;
    waitedFor = waiters_ > 0;
  }
  // Only process-wide objects are touched after the object was signalled: a waiter may
  // destroy this object as soon as the lock is released. Most objects (the end of a
  // connection's thread) are waited for by nobody, and wake nobody.
  if (waitedFor) Changed().notify_all();
}

void Waitable::Reset() {
  std::lock_guard<std::mutex> g(Lock());
  signalled_ = false;
}

bool Waitable::IsSet() const {
  std::lock_guard<std::mutex> g(Lock());
  return signalled_;
}

uint32_t WaitForWaitables(const std::vector<Waitable*>& objects, bool waitAll, uint32_t timeoutMs) {
  if (objects.empty() || objects.size() > 64) return kWaitFailed;
  auto ready = [&]() -> int {
    if (waitAll) {
      for (auto* o : objects)
        if (!o->signalled_) return -1;
      for (auto* o : objects)
        if (!o->manualReset_) o->signalled_ = false;
      return 0;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
      if (objects[i]->signalled_) {
        if (!objects[i]->manualReset_) objects[i]->signalled_ = false;
        return static_cast<int>(i);
      }
    }
    return -1;
  };
  std::unique_lock<std::mutex> g(Lock());
  int r = ready();
  if (r >= 0) return kWaitObject0 + static_cast<uint32_t>(r);
  // Registered while waiting (under the lock), so that Set wakes the waiters only when
  // one of them waits for that object.
  struct TRegistration {
    const std::vector<Waitable*>& objects;
    explicit TRegistration(const std::vector<Waitable*>& o) : objects(o) {
      for (auto* w : objects) ++w->waiters_;
    }
    ~TRegistration() {
      for (auto* w : objects) --w->waiters_;
    }
  } registration(objects);
  if (timeoutMs == kInfinite) {
    for (;;) {
      Changed().wait(g);
      r = ready();
      if (r >= 0) return kWaitObject0 + static_cast<uint32_t>(r);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Changed().wait_until(g, deadline) == std::cv_status::timeout) {
      r = ready();
      return r >= 0 ? kWaitObject0 + static_cast<uint32_t>(r) : kWaitTimeout;
    }
    r = ready();
    if (r >= 0) return kWaitObject0 + static_cast<uint32_t>(r);
  }
}

}  // namespace kestran
