// A queue directory on a small file system of its own (a tmpfs, when this process may
// mount one): a full disk answers 451 and leaves no partial pair, the messages taken
// before are whole, mail is taken again once room is made; a file system remounted
// read-only refuses even a receiver running as root.

#include <sys/mount.h>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

class DiskFullTest : public FaultTest {
 protected:
  void TearDown() override {
    StopReceiver();
    if (mounted_) ::umount2(Native("mail/prein").c_str(), MNT_DETACH);
    FaultTest::TearDown();
  }
  // Mounts a tmpfs of the given size on the queue directory; false when not permitted.
  bool MountQueue(const std::string& size) {
    MakeDir("mail/prein");
    mounted_ = ::mount("tmpfs", Native("mail/prein").c_str(), "tmpfs", 0,
                       ("size=" + size + ",mode=0755").c_str()) == 0;
    return mounted_;
  }
  bool Remount(unsigned long flags, const std::string& size) {
    return ::mount("tmpfs", Native("mail/prein").c_str(), "tmpfs", MS_REMOUNT | flags,
                   ("size=" + size).c_str()) == 0;
  }

  bool mounted_ = false;
};

TEST_F(DiskFullTest, FullOrReadOnlyQueueFileSystemRefusesAndRecovers) {
  if (!MountQueue("400k")) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  WriteRegistry(RelayRegistry());
  StartReceiver();

  // Larger than the whole file system.
  EXPECT_EQ(Transaction(BodyWithToken("huge", 600 * 1024)), "451 ERR Requested Action Aborted");
  EXPECT_EQ(AllQueueFiles(), std::vector<std::string>{});

  // Fill it up with messages of 60 KiB until one is refused.
  int taken = 0;
  std::string reply;
  for (int i = 0; i < 20; ++i) {
    reply = Transaction(BodyWithToken("fill-" + std::to_string(i), 60 * 1024));
    if (reply != "250 Message received OK") break;
    ++taken;
  }
  EXPECT_EQ(reply, "451 ERR Requested Action Aborted");
  EXPECT_GT(taken, 0);
  auto pairs = CheckedPairs();
  EXPECT_EQ(static_cast<int>(pairs.size()), taken);
  EXPECT_EQ(AllQueueFiles().size(), pairs.size() * 2) << "no partial pair remains";

  // The host picks up a pair: there is room again.
  std::filesystem::remove(Native("mail/prein/" + pairs.begin()->first + ".MSG"));
  std::filesystem::remove(Native("mail/prein/" + pairs.begin()->first + ".RCP"));
  EXPECT_EQ(Transaction(BodyWithToken("room-again", 1000)), "250 Message received OK");
  EXPECT_EQ(static_cast<int>(CheckedPairs().size()), taken);

  // Read-only: refused even though the receiver may write anywhere else.
  ASSERT_TRUE(Remount(MS_RDONLY, "400k"));
  const auto before = AllQueueFiles();
  EXPECT_EQ(Transaction(BodyWithToken("read-only", 1000)), "451 ERR Requested Action Aborted");
  EXPECT_EQ(AllQueueFiles(), before);
  ASSERT_TRUE(Remount(0, "400k"));
  EXPECT_EQ(Transaction(BodyWithToken("writable", 1000)), "250 Message received OK");
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
}

}  // namespace
}  // namespace kestran::test
