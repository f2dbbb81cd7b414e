// Write faults under the queue files and the inbound log: a file-size limit on the
// receiver (as a full disk shows itself to a writer), the queue directory removed or
// made unwritable while the receiver runs, the inbound-log directory removed.

#include <sys/stat.h>

#include <ctime>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

TEST_F(FaultTest, WriteFailureOfTheQueueFileAnswers451AndLeavesNothingBehind) {
  WriteRegistry(RelayRegistry());
  MakeDir("mail/prein");
  StartLimited(256 * 1024);

  // Larger than the limit: the message file cannot be written whole.
  EXPECT_EQ(Transaction(BodyWithToken("too-big", 400 * 1024)), "451 ERR Requested Action Aborted");
  EXPECT_EQ(AllQueueFiles(), std::vector<std::string>{}) << "no partial pair remains";
  // Twice, on one connection, then a message that fits: the session and the process go on.
  {
    LineClient c("127.0.0.1", port_);
    ASSERT_TRUE(c.connected());
    c.Line();
    c.Command("HELO fault.test");
    EXPECT_EQ(
        SendMessage(c, "a@fault.test", {"bob@example.test"}, BodyWithToken("again", 300 * 1024)),
        "451 ERR Requested Action Aborted");
    EXPECT_EQ(SendMessage(c, "a@fault.test", {"bob@example.test"}, BodyWithToken("fits", 1000)),
              "250 Message received OK");
  }
  EXPECT_EQ(AllQueueFiles().size(), 2u);
  auto pairs = CheckedPairs();
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_NE(pairs.begin()->second.msg.find("Subject: fits\r\n"), std::string::npos);
  // The event log (the console here) names the file and the error, once a minute.
  const std::string console = Console();
  const std::string report =
      "A message could not be queued and was refused with 451: writing "
      "C:\\mail\\prein\\B0000000001.MSG failed: The disk has no space left. (112)";
  const size_t at = console.find(report);
  EXPECT_NE(at, std::string::npos) << console;
  EXPECT_EQ(console.find("could not be queued", at + report.size()), std::string::npos) << console;
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
}

// The registry file cannot be rewritten when the counter draws a number: the message is
// not taken, and the registry is left whole for the next start.
TEST_F(FaultTest, CounterThatCannotBeStoredTakesNothingAndKeepsTheRegistry) {
  WriteRegistry(RelayRegistry());
  MakeDir("mail/prein");
  const std::string before = Registry();
  StartLimited(before.size() / 2);
  const std::string reply = Transaction(BodyWithToken("no-counter", 100));
  EXPECT_TRUE(reply.empty() || reply.rfind("451 ", 0) == 0) << reply;
  EXPECT_EQ(AllQueueFiles(), std::vector<std::string>{});
  EXPECT_EQ(Registry(), before);
  StopReceiver();
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("later", 100)), "250 Message received OK");
  EXPECT_EQ(CheckedPairs().size(), 1u);
}

TEST_F(FaultTest, QueueDirectoryRemovedOrUnwritableWhileRunning) {
  WriteRegistry(RelayRegistry("\"MailInlogEnabled\"=dword:00000001\r\n"));
  MakeDir("mail/inlog");
  StartReceiver();
  EXPECT_EQ(Transaction(BodyWithToken("first", 100)), "250 Message received OK");

  // Removed: refused with 451; nothing appears in its place.
  std::filesystem::remove_all(Native("mail/prein"));
  EXPECT_EQ(Transaction(BodyWithToken("gone", 100)), "451 ERR Requested Action Aborted");
  EXPECT_FALSE(std::filesystem::exists(Native("mail/prein/B0000000002.MSG")));

  // A file where the directory was.
  ASSERT_TRUE(WriteFileText(Native("mail/prein"), "not a directory"));
  EXPECT_EQ(Transaction(BodyWithToken("file", 100)), "451 ERR Requested Action Aborted");
  EXPECT_EQ(ReadFileText(Native("mail/prein")), "not a directory");
  std::filesystem::remove(Native("mail/prein"));

  // Read-only (only meaningful when the test does not run as root, who may write anyway).
  MakeDir("mail/prein");
  ::chmod(Native("mail/prein").c_str(), 0555);
  if (::access(Native("mail/prein").c_str(), W_OK) != 0) {
    EXPECT_EQ(Transaction(BodyWithToken("read-only", 100)), "451 ERR Requested Action Aborted");
    EXPECT_EQ(AllQueueFiles(), std::vector<std::string>{});
  }
  ::chmod(Native("mail/prein").c_str(), 0755);

  // Back in place: taken again, under a number not used before.
  EXPECT_EQ(Transaction(BodyWithToken("back", 100)), "250 Message received OK");
  auto pairs = CheckedPairs();
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_GT(pairs.begin()->first, "B0000000001");
  EXPECT_NE(pairs.begin()->second.msg.find("Subject: back\r\n"), std::string::npos);

  // The inbound-log directory removed: the message is taken all the same, the entry is lost.
  std::filesystem::remove_all(Native("mail/inlog"));
  EXPECT_EQ(Transaction(BodyWithToken("no-log", 100)), "250 Message received OK");
  EXPECT_EQ(CheckedPairs().size(), 2u);
  // A file in its place: the same.
  ASSERT_TRUE(WriteFileText(Native("mail/inlog"), "x"));
  EXPECT_EQ(Transaction(BodyWithToken("log-is-file", 100)), "250 Message received OK");
  EXPECT_EQ(CheckedPairs().size(), 3u);
  EXPECT_EQ(ReadFileText(Native("mail/inlog")), "x");
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
  StopReceiver();
  EXPECT_EQ(proc_.exitStatus(), 0) << Console();
}

}  // namespace
}  // namespace kestran::test
