// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/waitable.h"

namespace kestran {
namespace {

class LoopThread : public TThread {
 public:
  std::atomic<int> passes{0};
  std::atomic<bool>* destroyed = nullptr;
  ~LoopThread() override {
    EndAndWait();
    if (destroyed) *destroyed = true;
  }

 protected:
  void Execute() override {
    while (!StopRequested()) {
      PassGate();
      ++passes;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

TEST(ThreadTest, SuspendedUntilResumedThenStopsAndWaits) {
  LoopThread t;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(t.passes.load(), 0);
  EXPECT_EQ(t.WaitFor(0), kWaitObject0) << "a thread never started is not running";
  t.Resume();
  while (t.passes.load() < 3) std::this_thread::yield();
  EXPECT_EQ(t.WaitFor(30), kWaitTimeout);
  t.Suspend();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int held = t.passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_LE(t.passes.load(), held + 1) << "a held thread stops at its gate";
  t.Resume();
  while (t.passes.load() < held + 3) std::this_thread::yield();
  t.RequestStop();
  EXPECT_EQ(t.WaitFor(kInfinite), kWaitObject0);
  EXPECT_TRUE(t.Finished());
  EXPECT_NE(t.ThreadId(), TThread::CurrentThreadId());
}

TEST(ThreadTest, FreeWhenDoneAndDestructionOfRunningThread) {
  std::atomic<bool> destroyed{false};
  auto* t = new LoopThread;
  t->destroyed = &destroyed;
  t->SetFreeWhenDone(true);
  t->Resume();
  t->RequestStop();
  while (!destroyed.load()) std::this_thread::yield();

  // Destroying a running (even held) thread stops it first.
  auto* u = new LoopThread;
  u->Resume();
  u->Suspend();
  delete u;
}

class OnceThread : public TThread {
 public:
  explicit OnceThread(std::atomic<int>* ran) : TThread(true, 256 * 1024), ran_(ran) {
    SetPooled(true);
  }
  ~OnceThread() override { EndAndWait(); }
  uint64_t seenId = 0;

 protected:
  void Execute() override {
    seenId = CurrentThreadId();
    ++*ran_;
  }

 private:
  std::atomic<int>* ran_;
};

// A pooled thread that has ended leaves its system thread parked for the next one, which
// then sees that thread's id; bodies that overlap each have a system thread of their
// own; FreeWhenDone and waiting behave as for any thread.
TEST(ThreadTest, PooledThreadsReuseParkedSystemThreads) {
  std::atomic<int> ran{0};
  std::set<uint64_t> seen;
  {
    OnceThread a(&ran);
    a.Resume();
    EXPECT_EQ(a.WaitFor(kInfinite), kWaitObject0);
    EXPECT_EQ(a.ThreadId(), a.seenId);
    seen.insert(a.seenId);
  }
  // A parked thread may need a moment to reach its parking place.
  bool reused = false;
  for (int i = 0; i < 50 && !reused; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    OnceThread b(&ran);
    b.Resume();
    b.WaitFor(kInfinite);
    reused = !seen.insert(b.seenId).second;
  }
  EXPECT_TRUE(reused) << "an ended pooled thread's system thread is used again";

  std::vector<std::unique_ptr<LoopThread>> loops;
  for (int i = 0; i < 8; ++i) {
    loops.push_back(std::make_unique<LoopThread>());
    loops.back()->SetPooled(true);
    loops.back()->Resume();
  }
  for (auto& l : loops)
    while (l->passes.load() == 0) std::this_thread::yield();
  std::set<uint64_t> ids;
  for (auto& l : loops) ids.insert(l->ThreadId());
  EXPECT_EQ(ids.size(), loops.size()) << "running bodies never share a system thread";
  loops.clear();

  std::atomic<bool> destroyed{false};
  auto* t = new LoopThread;
  t->destroyed = &destroyed;
  t->SetPooled(true);
  t->SetFreeWhenDone(true);
  t->Resume();
  t->RequestStop();
  while (!destroyed.load()) std::this_thread::yield();
}

TEST(WaitableTest, AnyAllAndTimeout) {
  Waitable a, b;
  EXPECT_EQ(WaitForWaitables({&a, &b}, false, 10), kWaitTimeout);
  b.Set();
  EXPECT_EQ(WaitForWaitables({&a, &b}, false, 10), kWaitObject0 + 1);
  EXPECT_EQ(WaitForWaitables({&a, &b}, true, 10), kWaitTimeout);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a.Set();
  });
  EXPECT_EQ(WaitForWaitables({&a, &b}, true, kInfinite), kWaitObject0);
  setter.join();
  a.Reset();
  EXPECT_FALSE(a.IsSet());
  EXPECT_EQ(WaitForWaitables({}, false, 0), kWaitFailed);
}

}  // namespace
}  // namespace kestran
