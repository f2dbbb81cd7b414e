#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace kestran {

TThread::TThread(bool createSuspended, size_t stackSize)
    : stackSize_(stackSize), suspended_(createSuspended) {}

TThread::~TThread() { EndAndWait(); }

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

uint64_t TThread::CurrentThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

void TThread::Resume() {
  if (!started_.load()) {
    suspended_ = false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize_ != 0) pthread_attr_setstacksize(&attr, stackSize_);
    started_ = true;
    pthread_t t;
    int rc = pthread_create(&t, &attr, &TThread::Trampoline, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      started_ = false;
      suspended_ = true;
      throw EThread(std::string("Cannot create thread: ") + std::strerror(rc));
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
