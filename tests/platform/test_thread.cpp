// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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
