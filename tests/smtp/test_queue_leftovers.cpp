// What an abrupt end left in the queue directory: own temporary files go, message files
// without their recipient file move aside once they are old enough, nothing else is touched.

#include "smtp/queue_leftovers.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "config/temp_root.h"
#include "smtp/queue_writer.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;

class QueueLeftovers : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root_.Path("drive_c/q")); }

  // A file of the queue, last changed ageSeconds before now_.
  void Put(const std::string& name, int64_t ageSeconds, const std::string& text = "x") {
    root_.WriteFile("drive_c/q/" + name, text);
    Age(name, ageSeconds);
  }
  void Age(const std::string& name, int64_t ageSeconds) {
    timeval t[2];
    t[0].tv_sec = t[1].tv_sec = static_cast<time_t>(now_ - ageSeconds);
    t[0].tv_usec = t[1].tv_usec = 0;
    ASSERT_EQ(::lutimes(Q(name).c_str(), t), 0) << name;
  }
  std::string Q(const std::string& name) const { return root_.Path("drive_c/q/" + name); }
  std::vector<std::string> Names(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(Q(sub))) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TTempRoot root_;
  const int64_t now_ = std::time(nullptr);
};

TEST_F(QueueLeftovers, TemporariesGoOldOrphansMoveAndEverythingElseStays) {
  const int64_t old = kDamagedAfterSeconds + 5;
  // A complete pair, however old, and pairs in other letter cases.
  Put("B0000000001.MSG", old);
  Put("B0000000001.RCP", old);
  Put("B0000000009.msg", old);
  Put("B0000000009.rcp", old);
  // Orphans: one cut short with its temporary recipient file, one old enough to move
  // but younger than the start, one written within the last ten minutes.
  Put("B0000000002.MSG", old, "cut sho");
  Put("B0000000002.RC~", old);
  Put("B0000000003.MSG", kDamagedAfterSeconds - 60);
  // Temporaries of this receiver's naming, and names that only look alike.
  Put("kestran-body-0123abcd.tmp", 1);
  Put("kestrant-0123456789abcdef.tmp", 1);
  Put("kestrant.tmp", 1);
  Put("kestran-body-new.tmp", 0);  // changed since the start: another receiver's
  Put("B12.RC~", 1);
  Put("notes.tmp", 1);
  Put("B0000000004.RCP", old);
  // Links are neither removed nor moved, and never followed.
  root_.WriteFile("target", "owned by the test");
  fs::create_symlink(root_.Path("target"), Q("B0000000005.RC~"));
  fs::create_symlink(root_.Path("target"), Q("B0000000006.MSG"));
  Age("B0000000006.MSG", old);

  auto notes = CleanQueueLeftovers("C:\\q", now_);
  EXPECT_EQ(Names(), (std::vector<std::string>{
                         "B0000000001.MSG", "B0000000001.RCP", "B0000000003.MSG", "B0000000004.RCP",
                         "B0000000005.RC~", "B0000000006.MSG", "B0000000009.msg", "B0000000009.rcp",
                         "B12.RC~", "damaged", "kestran-body-new.tmp", "notes.tmp"}));
  EXPECT_EQ(Names("damaged"), std::vector<std::string>{"B0000000002.MSG"});
  EXPECT_EQ(root_.ReadFile("drive_c/q/damaged/B0000000002.MSG"), "cut sho");
  EXPECT_EQ(root_.ReadFile("target"), "owned by the test");
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, TLeftoverNote::Kind::Information);
  EXPECT_EQ(notes[0].text, "Removed 4 temporary file(s) left in the queue directory C:\\q\\");
  EXPECT_EQ(notes[1].kind, TLeftoverNote::Kind::Warning);
  EXPECT_EQ(notes[1].text,
            "Moved the message file C:\\q\\B0000000002.MSG, left without its recipient file, "
            "to C:\\q\\damaged\\B0000000002.MSG");

  // The next start: a message file of the same name never replaces the one moved before.
  Put("B0000000002.MSG", old, "again");
  Age("B0000000003.MSG", old);
  notes = CleanQueueLeftovers("C:\\q", now_);
  EXPECT_EQ(Names("damaged"),
            (std::vector<std::string>{"B0000000002-1.MSG", "B0000000002.MSG", "B0000000003.MSG"}));
  EXPECT_EQ(root_.ReadFile("drive_c/q/damaged/B0000000002.MSG"), "cut sho");
  EXPECT_EQ(root_.ReadFile("drive_c/q/damaged/B0000000002-1.MSG"), "again");
  EXPECT_EQ(notes.size(), 2u);
}

// A pair whose recipient file was flushed under its temporary name, but whose rename a
// crash lost, is whole by the digest in that name and takes its name at the next start;
// one that a crash cut short is not, and never reaches the host.
TEST_F(QueueLeftovers, WholePairsUnderTheTemporaryNameAreCompletedOthersNever) {
  const int64_t old = kDamagedAfterSeconds + 5;
  const std::string msg = "Received: from a\r\n\r\nbody\r\n";
  const std::string rcp = "Message-ID: <B0000000010@h>\r\nRecipient: u@example.test\r\n";
  const TQueueWriter w("C:\\q", false);
  auto temporary = [&](const std::string& stem, const std::string& m, const std::string& r) {
    const std::string path = w.TemporaryPath(stem, QueuePairDigest(m, r));
    return path.substr(path.rfind('\\') + 1);
  };
  // Whole: completed, however recent (but older than the start).
  Put("B0000000010.MSG", 2, msg);
  Put(temporary("B0000000010", msg, rcp), 2, rcp);
  // The message file cut short, or longer, or the recipient file cut short.
  Put("B0000000011.MSG", old, msg.substr(0, 20));
  Put(temporary("B0000000011", msg, rcp), old, rcp);
  Put("B0000000012.MSG", 2, msg + "x");
  Put(temporary("B0000000012", msg, rcp), 2, rcp);
  Put("B0000000013.MSG", 2, msg);
  Put(temporary("B0000000013", msg, rcp), 2, rcp.substr(0, 10));
  // No message file, or the pair already complete: the temporary file just goes.
  Put(temporary("B0000000014", msg, rcp), 2, rcp);
  Put("B0000000015.MSG", 2, msg);
  Put("B0000000015.RCP", 2, "first");
  Put(temporary("B0000000015", msg, rcp), 2, rcp);
  // Changed since the start (another receiver at work), or a link: left alone.
  Put("B0000000016.MSG", 0, msg);
  Put(temporary("B0000000016", msg, rcp), 0, rcp);
  root_.WriteFile("target", rcp);
  Put("B0000000017.MSG", 2, msg);
  fs::create_symlink(root_.Path("target"), Q(temporary("B0000000017", msg, rcp)));
  Age(temporary("B0000000017", msg, rcp), 2);

  auto notes = CleanQueueLeftovers("C:\\q", now_);
  EXPECT_EQ(root_.ReadFile("drive_c/q/B0000000010.RCP"), rcp);
  EXPECT_EQ(root_.ReadFile("drive_c/q/B0000000010.MSG"), msg);
  EXPECT_EQ(root_.ReadFile("drive_c/q/B0000000015.RCP"), "first");
  EXPECT_EQ(Names(), (std::vector<std::string>{
                         "B0000000010.MSG", "B0000000010.RCP", "B0000000012.MSG", "B0000000013.MSG",
                         "B0000000015.MSG", "B0000000015.RCP", "B0000000016.MSG",
                         temporary("B0000000016", msg, rcp), "B0000000017.MSG",
                         temporary("B0000000017", msg, rcp), "damaged"}));
  EXPECT_EQ(Names("damaged"), std::vector<std::string>{"B0000000011.MSG"});
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0].kind, TLeftoverNote::Kind::Warning);
  EXPECT_EQ(notes[0].text,
            "Completed the queue pair C:\\q\\B0000000010: its recipient file had not taken its "
            "name when the receiver ended");
  EXPECT_EQ(notes[1].text, "Removed 5 temporary file(s) left in the queue directory C:\\q\\");
  EXPECT_EQ(notes[2].kind, TLeftoverNote::Kind::Warning);
}

TEST_F(QueueLeftovers, ADamagedNameThatIsNoDirectoryMovesNothing) {
  Put("B0000000002.MSG", kDamagedAfterSeconds + 5);
  fs::create_directory(root_.Path("elsewhere"));
  fs::create_directory_symlink(root_.Path("elsewhere"), Q("damaged"));
  auto notes = CleanQueueLeftovers("C:\\q", now_);
  EXPECT_TRUE(fs::exists(Q("B0000000002.MSG")));
  EXPECT_TRUE(fs::is_empty(root_.Path("elsewhere")));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, TLeftoverNote::Kind::Error);

  // A queue directory that cannot be read reports it and changes nothing.
  notes = CleanQueueLeftovers("C:\\missing", now_);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, TLeftoverNote::Kind::Error);
}

}  // namespace
}  // namespace kestran
