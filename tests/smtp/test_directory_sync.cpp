// test-labels: threads
#include "smtp/directory_sync.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace kestran
