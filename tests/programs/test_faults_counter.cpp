// The message counter at the end of its range, where numbering starts again at 1, or where
// it cannot be stored or read: mail is refused for the time being instead of being queued
// under a number that is not kept.

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <memory>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// After the last name "B2147483647", numbering starts again at 1, passes over a pair still
// queued under a number it comes back to, and says so once.
TEST_F(FaultTest, CounterAtTheEndOfItsRangeStartsAgainAtOneSkippingQueuedNames) {
  WriteRegistry(RelayRegistry() +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
                "\"LastMsgId\"=dword:7ffffffe\r\n\r\n");
  MakeDir("mail/prein");
  ASSERT_TRUE(WriteFileText(Native("mail/prein/B0000000001.MSG"), "Subject: still queued\r\n"));
  ASSERT_TRUE(
      WriteFileText(Native("mail/prein/B0000000001.RCP"), "Message-ID: <B0000000001@h>\r\n"));
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("last-number", 100)), "250 Message received OK");
  EXPECT_EQ(Transaction(BodyWithToken("past-the-end", 100)), "250 Message received OK");
  EXPECT_EQ(Transaction(BodyWithToken("and-on", 100)), "250 Message received OK");
  EXPECT_EQ(AllQueueFiles(),
            (std::vector<std::string>{"B0000000001.MSG", "B0000000001.RCP", "B0000000002.MSG",
                                      "B0000000002.RCP", "B0000000003.MSG", "B0000000003.RCP",
                                      "B2147483647.MSG", "B2147483647.RCP"}));
  EXPECT_EQ(ReadFileText(Native("mail/prein/B0000000001.MSG")), "Subject: still queued\r\n");
  EXPECT_NE(ReadFileText(Native("mail/prein/B0000000002.MSG")).find("past-the-end"),
            std::string::npos);
  EXPECT_NE(Registry().find("\"LastMsgId\"=dword:00000003"), std::string::npos) << Registry();
  const std::string console = Console();
  EXPECT_EQ(Count(console,
                  "The message counter LastMsgId has reached the end of its range "
                  "(2147483647): message numbers start again at 1"),
            1u)
      << console;
  EXPECT_EQ(Count(console, "LastMsgId"), 1u) << console;
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
}

// A counter stored beyond the range (a DWORD of all ones, as a host may leave it) goes
// on at 1 as well, and the one event-log line shows the value it held.
TEST_F(FaultTest, CounterStoredPastTheEndOfItsRangeStartsAgainAtOneAndSaysWhatItHeld) {
  WriteRegistry(RelayRegistry() +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
                "\"LastMsgId\"=dword:ffffffff\r\n\r\n");
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("first", 100)), "250 Message received OK");
  EXPECT_EQ(Transaction(BodyWithToken("second", 100)), "250 Message received OK");
  EXPECT_EQ(AllQueueFiles(), (std::vector<std::string>{"B0000000001.MSG", "B0000000001.RCP",
                                                       "B0000000002.MSG", "B0000000002.RCP"}));
  EXPECT_NE(Registry().find("\"LastMsgId\"=dword:00000002"), std::string::npos) << Registry();
  const std::string console = Console();
  EXPECT_EQ(Count(console,
                  "The message counter LastMsgId holds 0xffffffff, past the end of its range "
                  "(2147483647): message numbers start again at 1"),
            1u)
      << console;
  EXPECT_EQ(Count(console, "LastMsgId"), 1u) << console;
}

// Sets the immutable attribute of a directory while it lives (root only, and only on file
// systems that have it); ok() tells whether it was set.
class Immutable {
 public:
  explicit Immutable(const std::string& dir) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      set_ = ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~Immutable() {
    int flags = 0;
    if (set_ && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;
  bool ok() const { return set_; }

 private:
  int fd_ = -1;
  bool set_ = false;
};

// A number is used only once it is stored: a counter that cannot be stored refuses the
// message, and the console (the event log of a service) says why once, not per message.
TEST_F(FaultTest, ACounterThatCannotBeStoredRefusesMailAndIsReportedOnce) {
  const std::string registry = RelayRegistry();
  WriteRegistry(registry);
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("first", 100)), "250 Message received OK");
  const std::vector<std::string> queued = {"B0000000001.MSG", "B0000000001.RCP"};
  EXPECT_EQ(AllQueueFiles(), queued);

  // The file that held the counter is gone: the draw does not start again from nothing.
  std::filesystem::remove(root_ + "/registry.reg");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Transaction(BodyWithToken("lost", 100)), "451 ERR Requested Action Aborted");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/registry.reg")) << "no counter made up";

  // A registry file that is a directory now.
  std::filesystem::create_directory(root_ + "/registry.reg");
  EXPECT_EQ(Transaction(BodyWithToken("lost", 100)), "451 ERR Requested Action Aborted");
  std::filesystem::remove(root_ + "/registry.reg");
  EXPECT_EQ(AllQueueFiles(), queued);
  const std::string console = Console();
  EXPECT_EQ(Count(console, "No message number could be stored"), 1u) << console;
  EXPECT_NE(console.find("holds no LastMsgId"), std::string::npos) << console;

  // Back in place, numbering goes on where it was.
  WriteRegistry(registry +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
                "\"LastMsgId\"=dword:00000001\r\n");
  EXPECT_EQ(Transaction(BodyWithToken("second", 100)), "250 Message received OK");
  EXPECT_TRUE(std::filesystem::exists(Native("mail/prein/B0000000002.MSG")));

  // A data root that cannot be written: read-only for an ordinary account, immutable for
  // root (where the file system has the attribute).
  const std::string before = Registry();
  bool blocked = false;
  {
    std::unique_ptr<Immutable> immutable;
    if (::geteuid() == 0) {
      immutable = std::make_unique<Immutable>(root_);
      blocked = immutable->ok();
    } else {
      blocked = ::chmod(root_.c_str(), 0555) == 0;
    }
    if (blocked) {
      EXPECT_EQ(Transaction(BodyWithToken("lost", 100)), "451 ERR Requested Action Aborted");
    }
    if (::geteuid() != 0) ::chmod(root_.c_str(), 0755);
  }
  EXPECT_EQ(Registry(), before);
  EXPECT_EQ(Transaction(BodyWithToken("third", 100)), "250 Message received OK");
  EXPECT_TRUE(std::filesystem::exists(Native("mail/prein/B0000000003.MSG")));
  EXPECT_EQ(AllQueueFiles().size(), 6u);
  if (!blocked) GTEST_SKIP() << "the data root could not be made unwritable here";
}

TEST_F(FaultTest, ACounterOfTheWrongTypeStopsTheStartNamingIt) {
  for (const std::string value : {"\"abc\"", "hex:01,02"}) {
    SCOPED_TRACE(value);
    WriteRegistry(RelayRegistry("\"LastMsgId\"=" + value + "\r\n"));
    StartReceiver({}, false);
    ASSERT_TRUE(proc_.Wait(15000)) << Console();
    EXPECT_EQ(proc_.exitStatus(), 1);
    EXPECT_NE(Console().find("'LastMsgId'"), std::string::npos) << Console();
    EXPECT_FALSE(WaitForPort(port_, 100));
  }
}

}  // namespace
}  // namespace kestran::test
