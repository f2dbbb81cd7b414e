#pragma once
// The runtime's thread class: created suspended, started by Resume, with a stop-request
// flag that its body polls, optional self-destruction when the body returns, a wait for
// its end with a time-out, and a system identifier. A held ("suspended") running thread
// waits at PassGate(), which its body calls between waits, never while holding a lock.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/exception.h"
#include "platform/waitable.h"

namespace kestran {

KESTRAN_ERROR_CLASS(EThread, Exception);

class TThread {
 public:
  // stackSize 0 keeps the system's default stack size.
  explicit TThread(bool createSuspended = true, size_t stackSize = 0);
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // A started thread that has not finished is asked to stop (and released if held),
  // then waited for. The body must not run while a derived part is destroyed: a class
  // whose thread may still be running at its destruction calls EndAndWait() first
  // thing in its own destructor. Destruction from its own body only through FreeWhenDone.
  virtual ~TThread();

  // Sets StopRequested, releases a held thread and waits until the body has returned.
  // Does nothing on the thread itself or for a thread never started.
  void EndAndWait();

  // Starts the thread on first use (raises EThread when the system refuses a thread);
  // afterwards releases a thread held by Suspend.
  void Resume();
  // Holds the running thread at its next PassGate().
  void Suspend();
  bool Suspended() const { return suspended_.load(); }
  bool Started() const { return started_.load(); }
  bool Finished() const { return ended_.IsSet(); }

  bool StopRequested() const { return stopRequested_.load(std::memory_order_acquire); }
  void RequestStop() { stopRequested_.store(true, std::memory_order_release); }

  // A pooled thread runs on a parked system thread when one is idle, and parks it
  // when its body returns, instead of creating and ending one. Set before Resume.
  void SetPooled(bool value) { pooled_ = value; }

  bool FreeWhenDone() const { return freeWhenDone_.load(); }
  void SetFreeWhenDone(bool value) { freeWhenDone_.store(value); }

  // kWaitObject0 once the thread has ended (or was never started and is not running),
  // kWaitTimeout when it is still running after timeoutMs.
  uint32_t WaitFor(uint32_t timeoutMs = kInfinite);
  // Signalled when the body has returned.
  Waitable& EndedObject() { return ended_; }

  uint64_t ThreadId() const { return threadId_.load(); }
  static uint64_t CurrentThreadId();

 protected:
  // The thread body.
  virtual void Execute() = 0;
  // Completion notification, on the thread itself, after Execute returned.
  virtual void DoTerminate() {}
  // Blocks while the thread is held by Suspend.
  void PassGate();

 private:
  static void* Trampoline(void* self);
  void Body();

  size_t stackSize_;
  bool pooled_ = false;
  std::atomic<bool> started_{false};
  std::atomic<bool> suspended_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> freeWhenDone_{false};
  std::atomic<uint64_t> threadId_{0};
  std::mutex gateLock_;
  std::condition_variable gate_;
  Waitable ended_{true, false};
};

}  // namespace kestran
