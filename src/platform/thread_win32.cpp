#include "platform/os_win32.h"
// (the Windows headers first)
#include <process.h>

#include <limits>
#include <memory>

#include "platform/thread_os.h"

namespace kestran::thread_os {

namespace {

struct StartArgs {
  ThreadEntry entry;
  void* arg;
};

unsigned __stdcall RunEntry(void* p) {
  std::unique_ptr<StartArgs> start(static_cast<StartArgs*>(p));
  ThreadEntry entry = start->entry;
  void* arg = start->arg;
  start.reset();
  entry(arg);
  return 0;
}

}  // namespace

std::string StartDetachedThread(ThreadEntry entry, void* arg, size_t stackSize) {
  // The handle is not needed (the end of a thread is signalled through its own object),
  // so it is closed at once.
  // The runtime takes the size as 32 bits: a larger one would be cut to another size.
  if (stackSize > std::numeric_limits<unsigned>::max()) return "stack size too large";
  auto start = std::make_unique<StartArgs>(StartArgs{entry, arg});
  unsigned id = 0;
  uintptr_t h = ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), &RunEntry, start.get(),
                                 stackSize != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
  if (h == 0) return "error " + std::to_string(::GetLastError());
  start.release();
  ::CloseHandle(reinterpret_cast<HANDLE>(h));
  return {};
}

uint64_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

std::string StartPooledThread(ThreadEntry entry, void* arg, size_t stackSize) {
  // Thread starts are cheap enough here; every body gets a thread of its own.
  return StartDetachedThread(entry, arg, stackSize);
}

}  // namespace kestran::thread_os
