#include "platform/thread.h"

#include "platform/thread_os.h"

namespace kestran {

TThread::TThread(bool createSuspended, size_t stackSize)
    : stackSize_(stackSize), suspended_(createSuspended) {}

TThread::~TThread() {
  EndAndWait();
}

void TThread::EndAndWait() {
  if (started_.load() && !ended_.IsSet() && ThreadId() != CurrentThreadId()) {
    RequestStop();
    {
      std::lock_guard<std::mutex> g(gateLock_);
      suspended_ = false;
    }
    gate_.notify_all();
    if (!ended_.IsSet()) WaitFor(kInfinite);
  }
}

uint64_t TThread::CurrentThreadId() {
  return thread_os::CurrentThreadId();
}

void TThread::Resume() {
  if (!started_.load()) {
    suspended_ = false;
    started_ = true;
    std::string error =
        pooled_ ? thread_os::StartPooledThread(&TThread::Trampoline, this, stackSize_)
                : thread_os::StartDetachedThread(&TThread::Trampoline, this, stackSize_);
    if (!error.empty()) {
      started_ = false;
      suspended_ = true;
      throw EThread("Cannot create thread: " + error);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> g(gateLock_);
    suspended_ = false;
  }
  gate_.notify_all();
}

void TThread::Suspend() {
  std::lock_guard<std::mutex> g(gateLock_);
  if (started_.load() && !ended_.IsSet()) suspended_ = true;
}

void TThread::PassGate() {
  std::unique_lock<std::mutex> g(gateLock_);
  gate_.wait(g, [this] { return !suspended_.load(); });
}

uint32_t TThread::WaitFor(uint32_t timeoutMs) {
  if (!started_.load()) return kWaitObject0;
  return WaitForWaitables({&ended_}, false, timeoutMs);
}

void* TThread::Trampoline(void* self) {
  static_cast<TThread*>(self)->Body();
  return nullptr;
}

void TThread::Body() {
  threadId_ = CurrentThreadId();
  try {
    Execute();
  } catch (...) {
    // Nothing may escape a thread body; the thread simply ends.
  }
  try {
    DoTerminate();
  } catch (...) {
  }
  bool freeSelf = freeWhenDone_.load();
  ended_.Set();
  if (freeSelf) delete this;
}

}  // namespace kestran
