#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/thread_os.h"

namespace kestran::thread_os {

namespace {

// Parked threads are kept up to this many per stack size, each for this long: enough to
// carry a busy receiver from one session to the next, short enough that a quiet one
// soon holds no thread but those of its open connections.
constexpr size_t kMaxParked = 128;
constexpr auto kParkedFor = std::chrono::seconds(5);

std::string Start(ThreadEntry entry, void* arg, size_t stackSize) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize);
  pthread_t t;
  int rc = pthread_create(&t, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) return std::strerror(rc);
  return {};
}

// One system thread of the pool: runs a body, then waits parked for the next one.
struct TWorker {
  size_t stackSize;
  ThreadEntry entry;
  void* arg;
  std::condition_variable wake;
};

struct TPool {
  std::mutex m;
  std::map<size_t, std::vector<TWorker*>> parked;  // by stack size, most recent last
};

TPool& Pool() {
  static TPool* pool = new TPool;  // parked threads may outlive static destruction
  return *pool;
}

void* WorkerMain(void* p) {
  TWorker* w = static_cast<TWorker*>(p);
  TPool& pool = Pool();
  for (;;) {
    w->entry(w->arg);
    std::unique_lock<std::mutex> lock(pool.m);
    std::vector<TWorker*>& parked = pool.parked[w->stackSize];
    if (parked.size() >= kMaxParked) break;
    w->entry = nullptr;
    parked.push_back(w);
    if (!w->wake.wait_for(lock, kParkedFor, [w] { return w->entry != nullptr; })) {
      // Not wanted for a while: leave the pool and end.
      std::vector<TWorker*>& now = pool.parked[w->stackSize];
      for (size_t i = 0; i < now.size(); ++i) {
        if (now[i] == w) {
          now.erase(now.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
      break;
    }
  }
  delete w;
  return nullptr;
}

}  // namespace

std::string StartDetachedThread(ThreadEntry entry, void* arg, size_t stackSize) {
  return Start(entry, arg, stackSize);
}

std::string StartPooledThread(ThreadEntry entry, void* arg, size_t stackSize) {
  TPool& pool = Pool();
  {
    std::lock_guard<std::mutex> lock(pool.m);
    std::vector<TWorker*>& parked = pool.parked[stackSize];
    if (!parked.empty()) {
      TWorker* w = parked.back();
      parked.pop_back();
      w->entry = entry;
      w->arg = arg;
      w->wake.notify_one();
      return {};
    }
  }
  auto* w = new TWorker{stackSize, entry, arg, {}};
  std::string error = Start(&WorkerMain, w, stackSize);
  if (!error.empty()) delete w;
  return error;
}

uint64_t CurrentThreadId() {
  return static_cast<uint64_t>(::syscall(SYS_gettid));
}

}  // namespace kestran::thread_os
