#include "platform/os_win32.h"
// (the Windows headers first)
#include <process.h>

#include "platform/thread.h"

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
  return ::GetCurrentThreadId();
}

void TThread::Resume() {
  if (!started_.load()) {
    suspended_ = false;
    started_ = true;
    // The system thread runs Trampoline; its handle is not needed (the end is signalled
    // through EndedObject), so it is closed at once.
    unsigned(__stdcall * entry)(void*) = [](void* self) -> unsigned {
      TThread::Trampoline(self);
      return 0;
    };
    unsigned id = 0;
    uintptr_t h = ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize_), entry, this,
                                   stackSize_ != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
    if (h == 0) {
      DWORD err = ::GetLastError();
      started_ = false;
      suspended_ = true;
      throw EThread("Cannot create thread: error " + std::to_string(err));
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(h));
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
