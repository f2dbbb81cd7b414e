// test-labels: threads
#include "smtp/directory_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kestran {
namespace {

// Callers that arrive while a flush runs are not covered by it: they wait and share the
// next one. A failed flush covers nobody.
TEST(DirectorySync, CallersDuringAFlushShareTheNextOne) {
  constexpr int kLate = 6;
  std::atomic<int> calls{0};
  std::atomic<int> finished{0};
  TDirectorySync* self = nullptr;
  TDirectorySync group(
      "C:\\queue\\",
      [&](const std::string& dir, const std::vector<std::string>&) {
        EXPECT_EQ(dir, "C:\\queue\\");
        if (++calls == 1) {
          // Hold the first flush until every late caller has its ticket.
          while (self->Requested() < kLate + 1) std::this_thread::yield();
        }
        ++finished;
        return true;
      },
      1);
  self = &group;

  std::thread first([&] { EXPECT_TRUE(group.Sync()); });
  while (calls.load() == 0) std::this_thread::yield();
  std::vector<std::thread> late;
  for (int i = 0; i < kLate; ++i) {
    late.emplace_back([&] {
      EXPECT_TRUE(group.Sync());
      // Returned only after a flush that began after this call.
      EXPECT_GE(finished.load(), 2);
    });
  }
  first.join();
  for (auto& t : late) t.join();
  EXPECT_EQ(calls.load(), 2);

  // Alone, a caller runs its own flush.
  EXPECT_TRUE(group.Sync());
  EXPECT_EQ(calls.load(), 3);
}

TEST(DirectorySync, AFailedFlushIsReportedAndCoversNobody) {
  std::atomic<int> calls{0};
  TDirectorySync* self = nullptr;
  TDirectorySync group(
      "q",
      [&](const std::string&, const std::vector<std::string>&) {
        if (++calls == 1) {
          while (self->Requested() < 2) std::this_thread::yield();
          return false;
        }
        return true;
      },
      1);
  self = &group;
  std::thread first([&] { EXPECT_FALSE(group.Sync()); });
  while (calls.load() == 0) std::this_thread::yield();
  std::thread second([&] { EXPECT_TRUE(group.Sync()); });
  first.join();
  second.join();
  EXPECT_EQ(calls.load(), 2);

  // One instance per directory name.
  EXPECT_EQ(&TDirectorySync::For("C:\\a\\"), &TDirectorySync::For("C:\\a\\"));
  EXPECT_NE(&TDirectorySync::For("C:\\a\\"), &TDirectorySync::For("C:\\b\\"));
}

// With two flushes allowed at once, a caller that arrives while one is held runs the
// second at once and need not wait for the first.
TEST(DirectorySync, TwoFlushesMayOverlap) {
  std::atomic<bool> release{false};
  std::atomic<int> calls{0};
  TDirectorySync group(
      "q",
      [&](const std::string&, const std::vector<std::string>&) {
        if (++calls == 1)
          while (!release.load()) std::this_thread::yield();
        return true;
      },
      2);
  std::thread held([&] { EXPECT_TRUE(group.Sync()); });
  while (calls.load() == 0) std::this_thread::yield();
  EXPECT_TRUE(group.Sync());
  EXPECT_EQ(calls.load(), 2);
  release = true;
  held.join();
}

// A flush is given the files of every caller it serves. A failed flush also fails the
// callers that began writing before it and wait for a later one, since a write-back
// error it reported may have hit their files.
TEST(DirectorySync, FilesOfARoundAndFailuresSinceTheFirstWrite) {
  std::vector<std::vector<std::string>> seen;
  bool fail = false;
  TDirectorySync group("q", [&](const std::string&, const std::vector<std::string>& files) {
    seen.push_back(files);
    return !fail;
  });
  TDirectorySync::TToken early = group.Begin();
  EXPECT_TRUE(group.Sync(early, {"a.MSG", "a.RC~"}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (std::vector<std::string>{"a.MSG", "a.RC~"}));

  fail = true;
  EXPECT_FALSE(group.Sync({"b.MSG"}));
  fail = false;
  EXPECT_FALSE(group.Sync(early, {"a.RCP"})) << "a failure after the first write counts";
  EXPECT_EQ(seen.size(), 3u) << "the flush still ran";
  TDirectorySync::TToken late = group.Begin();
  EXPECT_TRUE(group.Sync(late, {"c.MSG"}));
  EXPECT_TRUE(group.Sync({"d.MSG"}));
}

// A flush about to begin waits for the callers announced on other threads: one flush
// then serves them all. An announcement withdrawn (the body never came) releases the
// flush at once, and a caller's own announcement never makes it wait for itself.
TEST(DirectorySync, AFlushWaitsForAnnouncedCallers) {
  using namespace std::chrono;
  std::atomic<int> calls{0};
  std::vector<std::string> seen;
  constexpr uint32_t kLong = 60'000'000;  // never reached unless a wake-up is lost
  TDirectorySync group(
      "q",
      [&](const std::string&, const std::vector<std::string>& files) {
        ++calls;
        seen = files;
        return true;
      },
      1, kLong);
  const auto start = steady_clock::now();
  {
    TDirectorySync::TExpected mine = group.Expect();
    EXPECT_TRUE(group.Sync({"alone"}));
  }
  EXPECT_EQ(calls.load(), 1);

  std::atomic<bool> announced{false};
  std::thread late([&] {
    TDirectorySync::TExpected coming = group.Expect();
    announced = true;
    while (group.Requested() < 2) std::this_thread::yield();  // the flush is gathering
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_TRUE(group.Sync({"late"}));
  });
  while (!announced) std::this_thread::yield();
  EXPECT_TRUE(group.Sync({"early"}));
  late.join();
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(seen, (std::vector<std::string>{"early", "late"}));

  std::atomic<bool> withdraw{false};
  announced = false;
  std::thread gone([&] {
    TDirectorySync::TExpected coming = group.Expect();
    announced = true;
    while (!withdraw) std::this_thread::yield();
  });
  while (!announced) std::this_thread::yield();
  std::thread flusher([&] { EXPECT_TRUE(group.Sync({"waits"})); });
  while (group.Requested() < 4) std::this_thread::yield();
  EXPECT_EQ(calls.load(), 2) << "the flush waits while the announced caller may come";
  withdraw = true;
  gone.join();
  flusher.join();
  EXPECT_EQ(calls.load(), 3);
  EXPECT_LT(steady_clock::now() - start, seconds(30)) << "a wait ran into its limit";
}

// The wait is bounded: a caller announced but never arriving delays a flush by the
// gathering time only.
TEST(DirectorySync, TheWaitForAnnouncedCallersIsBounded) {
  std::atomic<int> calls{0};
  TDirectorySync group(
      "q",
      [&](const std::string&, const std::vector<std::string>&) {
        ++calls;
        return true;
      },
      1, 20'000);
  std::atomic<bool> announced{false}, done{false};
  std::thread idle([&] {
    TDirectorySync::TExpected coming = group.Expect();
    announced = true;
    while (!done) std::this_thread::yield();
  });
  while (!announced) std::this_thread::yield();
  EXPECT_TRUE(group.Sync());
  EXPECT_TRUE(group.Sync());
  EXPECT_EQ(calls.load(), 2);
  done = true;
  idle.join();
}

}  // namespace
}  // namespace kestran
