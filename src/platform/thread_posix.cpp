#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/thread_os.h"
#include "platform/wait_word.h"

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

// One system thread of the pool: runs a body, then waits parked for the next one. A
// parked thread sleeps on its own word, so handing it a body wakes it alone, and it
// starts without taking the pool's lock again.
struct TWorker {
  enum : uint32_t { kRunning, kParked, kGiven };
  size_t stackSize;
  ThreadEntry entry;
  void* arg;
  std::atomic<uint32_t> state{kRunning};
};

struct TPool {
  std::mutex m;
  std::map<size_t, std::vector<TWorker*>> parked;  // by stack size, most recent last
};

TPool& Pool() {
  static TPool* pool = new TPool;  // parked threads may outlive static destruction
  return *pool;
}

// Parks w until it is given a body (true) or has not been wanted for kParkedFor (false:
// it has left the pool).
bool Park(TPool& pool, TWorker* w) {
  {
    std::lock_guard<std::mutex> lock(pool.m);
    std::vector<TWorker*>& parked = pool.parked[w->stackSize];
    if (parked.size() >= kMaxParked) return false;
    w->state.store(TWorker::kParked, std::memory_order_relaxed);
    parked.push_back(w);
  }
  const auto deadline = std::chrono::steady_clock::now() + kParkedFor;
  for (;;) {
    if (w->state.load(std::memory_order_acquire) == TWorker::kGiven) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    WaitWordFor(w->state, TWorker::kParked, static_cast<uint32_t>(left.count()) + 1);
  }
  // Not wanted for a while: leave the pool, unless a body came just now.
  std::lock_guard<std::mutex> lock(pool.m);
  if (w->state.load(std::memory_order_acquire) == TWorker::kGiven) return true;
  std::vector<TWorker*>& now = pool.parked[w->stackSize];
  for (size_t i = 0; i < now.size(); ++i) {
    if (now[i] == w) {
      now.erase(now.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  return false;
}

void* WorkerMain(void* p) {
  TWorker* w = static_cast<TWorker*>(p);
  TPool& pool = Pool();
  do {
    w->entry(w->arg);
  } while (Park(pool, w));
  delete w;
  return nullptr;
}

}  // namespace

std::string StartDetachedThread(ThreadEntry entry, void* arg, size_t stackSize) {
  return Start(entry, arg, stackSize);
}

std::string StartPooledThread(ThreadEntry entry, void* arg, size_t stackSize) {
  TPool& pool = Pool();
  TWorker* given = nullptr;
  {
    std::lock_guard<std::mutex> lock(pool.m);
    std::vector<TWorker*>& parked = pool.parked[stackSize];
    if (!parked.empty()) {
      given = parked.back();
      parked.pop_back();
      given->entry = entry;
      given->arg = arg;
      given->state.store(TWorker::kGiven, std::memory_order_release);
    }
  }
  if (given) {
    // Only the word's address is used here: the worker may already be running the body.
    WakeWord(given->state, false);
    return {};
  }
  auto* w = new TWorker{stackSize, entry, arg};
  std::string error = Start(&WorkerMain, w, stackSize);
  if (!error.empty()) delete w;
  return error;
}

uint64_t CurrentThreadId() {
  // A system thread keeps its id, whichever bodies it runs.
  static thread_local const uint64_t id = static_cast<uint64_t>(::syscall(SYS_gettid));
  return id;
}

}  // namespace kestran::thread_os
