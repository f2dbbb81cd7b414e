// Shared directories as an unfriendly local user leaves them: links planted under the
// names the receiver writes, and what an abrupt end of an earlier run left in the queue.

#include <sys/stat.h>
#include <sys/time.h>

#include <ctime>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

std::string DayLogName() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char name[32];
  std::strftime(name, sizeof name, "1%y%m%d.LOG", &tm);
  return name;
}

void SetAge(const std::string& path, int seconds) {
  timeval t[2] = {{std::time(nullptr) - seconds, 0}, {std::time(nullptr) - seconds, 0}};
  ASSERT_EQ(::utimes(path.c_str(), t), 0) << path;
}

TEST_F(FaultTest, StartCleansTheQueueAndALinkedInboundLogIsNeverWritten) {
  WriteRegistry(RelayRegistry("\"MailInlogEnabled\"=dword:00000001\r\n"));
  MakeDir("mail/inlog");
  MakeDir("mail/prein");
  ASSERT_TRUE(WriteFileText(root_ + "/target", "#!/bin/sh\n"));
  // Inbound log of the day: a link to a file of somebody else's.
  std::filesystem::create_symlink(root_ + "/target", Native("mail/inlog/" + DayLogName()));
  // Leftovers: a cut write of an hour ago, a message file of a few seconds ago (the host's
  // own receiver may still be writing it), a complete pair, temporaries.
  ASSERT_TRUE(WriteFileText(Native("mail/prein/B0000000100.MSG"), "Subject: cut"));
  ASSERT_TRUE(WriteFileText(Native("mail/prein/B0000000100.RC~"), "Message-ID: <"));
  ASSERT_TRUE(WriteFileText(Native("mail/prein/kestran-body-0f0f.tmp"), "spilled"));
  ASSERT_TRUE(WriteFileText(Native("mail/prein/B0000000101.MSG"), "being written"));
  ASSERT_TRUE(WriteFileText(Native("mail/prein/B0000000102.MSG"), "Subject: queued\r\n.\r\n"));
  ASSERT_TRUE(
      WriteFileText(Native("mail/prein/B0000000102.RCP"), "Message-ID: <B0000000102@h>\r\n"));
  for (const char* name : {"B0000000100.MSG", "B0000000100.RC~", "kestran-body-0f0f.tmp",
                           "B0000000102.MSG", "B0000000102.RCP"})
    SetAge(Native(std::string("mail/prein/") + name), 3600);
  SetAge(Native("mail/prein/B0000000101.MSG"), 5);

  StartReceiver();
  const std::string console = Console();
  EXPECT_NE(console.find("Moved the message file C:\\mail\\prein\\B0000000100.MSG, left without "
                         "its recipient file, to C:\\mail\\prein\\damaged\\B0000000100.MSG"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find("Removed 2 temporary file(s)"), std::string::npos) << console;
  EXPECT_EQ(ReadFileText(Native("mail/prein/damaged/B0000000100.MSG")), "Subject: cut");
  EXPECT_EQ(AllQueueFiles(), (std::vector<std::string>{"B0000000101.MSG", "B0000000102.MSG",
                                                       "B0000000102.RCP", "damaged"}));

  // The log entry is lost and reported once; the messages are taken all the same.
  EXPECT_EQ(Transaction(BodyWithToken("one", 100)), "250 Message received OK");
  EXPECT_EQ(Transaction(BodyWithToken("two", 100)), "250 Message received OK");
  EXPECT_EQ(ReadFileText(root_ + "/target"), "#!/bin/sh\n");
  EXPECT_TRUE(std::filesystem::is_symlink(Native("mail/inlog/" + DayLogName())));
  const std::string later = Console();
  size_t first = later.find(" is a link or another object that is not a plain file");
  EXPECT_NE(first, std::string::npos) << later;
  EXPECT_EQ(later.find(" is a link or another object", first + 1), std::string::npos) << later;
  // New queue files are for the owner and the group only.
  EXPECT_EQ(CheckedPairs().size(), 3u);
  for (const std::string stem : {"B0000000001", "B0000000002"}) {
    struct stat st;
    ASSERT_EQ(::stat(Native("mail/prein/" + stem + ".MSG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0040u) << stem;
  }
  EXPECT_FALSE(proc_.Wait(0)) << "the receiver is still running";
}

}  // namespace
}  // namespace kestran::test
