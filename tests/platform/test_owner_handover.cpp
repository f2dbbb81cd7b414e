// test-labels: threads
// Handing a tree to an account that owns it already and plants links in it, before and
// while the walk runs: nothing outside the tree changes owner or mode. Run by root the
// tree goes to nobody; run by anyone else to the user itself, where the modes tell.

#include "platform/owner_handover.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "config/temp_root.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;

struct TOwner {
  uid_t uid;
  gid_t gid;
};

TOwner Account() {
  if (::geteuid() == 0) return {65534, 65534};
  return {::getuid(), ::getgid()};
}

// "uid:gid:mode" of a name, not following a link.
std::string Status(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  char text[64];
  std::snprintf(text, sizeof text, "%u:%u:%o", static_cast<unsigned>(st.st_uid),
                static_cast<unsigned>(st.st_gid), static_cast<unsigned>(st.st_mode & 07777));
  return text;
}

std::string Expected(TOwner o, unsigned mode) {
  char text[64];
  std::snprintf(text, sizeof text, "%u:%u:%o", static_cast<unsigned>(o.uid),
                static_cast<unsigned>(o.gid), mode);
  return text;
}

class OwnerHandOver : public ::testing::Test {
 protected:
  void SetUp() override {
    // Outside the tree: a directory and files only their owner may read.
    fs::create_directories(Outside("sub"));
    for (int i = 0; i < kFiles; ++i) tmp_.WriteFile("outside/f" + std::to_string(i), "secret");
    for (const auto& e : fs::recursive_directory_iterator(Outside("")))
      ::chmod(e.path().c_str(), e.is_directory() ? 0700 : 0600);
    ::chmod(Outside("").c_str(), 0700);
    fs::create_directories(Tree("d/sub"));
    for (int i = 0; i < kFiles; ++i) tmp_.WriteFile("tree/d/f" + std::to_string(i), "mail");
  }
  std::string Tree(const std::string& name) const { return tmp_.Path("tree/" + name); }
  std::string Outside(const std::string& name) const { return tmp_.Path("outside/" + name); }
  // Every entry outside the tree is as SetUp left it.
  void ExpectOutsideUntouched() const {
    const TOwner me{::geteuid(), ::getegid()};
    EXPECT_EQ(Status(Outside("")), Expected(me, 0700));
    EXPECT_EQ(Status(Outside("sub")), Expected(me, 0700));
    for (int i = 0; i < kFiles; ++i)
      EXPECT_EQ(Status(Outside("f" + std::to_string(i))), Expected(me, 0600)) << i;
  }

  static constexpr int kFiles = 200;
  test::TTempRoot tmp_;
};

TEST_F(OwnerHandOver, GivesTheTreeAndNeverALinksTarget) {
  fs::create_directory_symlink(Outside(""), Tree("to-dir"));
  fs::create_symlink(Outside("f0"), Tree("to-file"));
  fs::create_hard_link(Outside("f1"), Tree("second-name"));
  ASSERT_EQ(::mkfifo(Tree("fifo").c_str(), 0600), 0);
  const TOwner account = Account();

  const THandOverResult r = HandOverTree(Tree(""), account.uid, account.gid);
  EXPECT_EQ(r.error, 0) << r.error;
  EXPECT_EQ(r.skippedLinks, 1u);
  EXPECT_EQ(Status(Tree("")), Expected(account, 0750));
  EXPECT_EQ(Status(Tree("d")), Expected(account, 0750));
  EXPECT_EQ(Status(Tree("d/sub")), Expected(account, 0750));
  EXPECT_EQ(Status(Tree("d/f7")), Expected(account, 0640));
  EXPECT_EQ(Status(Tree("fifo")), Expected(account, 0640));
  // The links themselves change owner (where root runs it), nothing they lead to does.
  struct stat st;
  ASSERT_EQ(::lstat(Tree("to-dir").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, account.uid);
  ExpectOutsideUntouched();

  EXPECT_EQ(HandOverTree(tmp_.Path("missing"), account.uid, account.gid).error, ENOENT);
}

TEST_F(OwnerHandOver, ALinkSwappedInWhileTheWalkRunsLeadsNowhere) {
  // The account keeps swapping its directory d for a link to the outside directory, which
  // holds the same names, while the tree is handed over again and again.
  const TOwner account = Account();
  std::atomic<bool> stop{false};
  std::atomic<long> swaps{0};
  std::thread swapper([&] {
    const std::string d = Tree("d"), hold = Tree("hold"), target = Outside("");
    while (!stop.load()) {
      if (::rename(d.c_str(), hold.c_str()) != 0) continue;
      if (::symlink(target.c_str(), d.c_str()) == 0) {
        std::this_thread::yield();
        ::unlink(d.c_str());
      }
      ::rename(hold.c_str(), d.c_str());
      ++swaps;
    }
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int runs = 0;
  while (std::chrono::steady_clock::now() < end) {
    HandOverTree(Tree(""), account.uid, account.gid);  // an entry may vanish mid-walk
    ++runs;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(runs, 10);
  EXPECT_GT(swaps.load(), 10);
  ExpectOutsideUntouched();

  // Left alone, the tree is handed over whole.
  const THandOverResult r = HandOverTree(Tree(""), account.uid, account.gid);
  EXPECT_EQ(r.error, 0);
  ASSERT_TRUE(fs::is_directory(fs::symlink_status(Tree("d"))));
  for (int i = 0; i < kFiles; ++i)
    EXPECT_EQ(Status(Tree("d/f" + std::to_string(i))), Expected(account, 0640)) << i;
}

}  // namespace
}  // namespace kestran
