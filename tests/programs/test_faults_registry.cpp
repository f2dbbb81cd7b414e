// Registry files that do not parse because they were cut off or damaged: the start
// fails with a message that names the file and the line, and the file stays as it was.

#include <algorithm>

#include "fault_fixture.h"

namespace kestran::test {
namespace {

TEST_F(FaultTest, TruncatedOrDamagedRegistryStopsTheStartAndIsLeftAsItWas) {
  const std::string whole =
      RelayRegistry() +
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
      "\"DomainNamesAreLocal\"=hex(7):65,78,61,6d,70,6c,65,2e,74,65,73,74,00,63,6f,\\\r\n"
      "  72,70,2e,74,65,73,74,00,00\r\n"
      "\"LastMsgId\"=dword:00000029\r\n";
  struct Case {
    std::string what;
    std::string text;
    bool mustFail;  // else a file that still reads may start the receiver
  };
  auto cut = [&](const std::string& marker, size_t extra) {
    return whole.substr(0, whole.find(marker) + extra);
  };
  const std::vector<Case> cases = {
      {"cut inside a key name", cut("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont", 30), true},
      {"cut inside a quoted value", cut("\"MailQueueDir\"=\"C:", 19), true},
      {"cut after a continued hex line", cut("6f,\\\r\n", 6), false},
      {"cut inside a hex byte", cut("6f,\\\r\n  72", 9), false},
      {"an unterminated string", whole + "\"Odd\"=\"a\r\n", true},
      {"a value outside any key", "REGEDIT4\r\n\r\n\"Port\"=dword:00000019\r\n" + whole.substr(10),
       true},
      {"a dword that is not hex", whole + "\"Port\"=dword:zz\r\n", true},
      {"no header line", whole.substr(10), true},
      {"cut to nothing", "", true},
      {"blank lines only", "\r\n\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteRegistry(c.text);
    StartReceiver({}, false);
    bool ended = false;
    for (int i = 0; i < 150 && !ended; ++i) {
      ended = proc_.Wait(100);
      if (!ended && !c.mustFail && WaitForPort(port_, 1)) break;
    }
    std::string console = Console();
    if (!ended) {
      EXPECT_FALSE(c.mustFail) << console;
      StopReceiver();
      continue;
    }
    EXPECT_EQ(proc_.exitStatus(), 1) << console;
    EXPECT_NE(console.find("registry.reg("), std::string::npos) << console;
    EXPECT_EQ(Registry(), c.text) << "the file is left as it was";
    EXPECT_FALSE(WaitForPort(port_, 100));
  }
}

// A key too deep for any registry stops the start like a damaged file; one at the limit,
// beside a wide key, leaves every message its number on the connection threads' stacks.
TEST_F(FaultTest, DeepAndWideRegistriesNeitherCrashNorSlowTheReceiver) {
  std::string deep = "[HKEY_LOCAL_MACHINE\\SOFTWARE";
  for (int i = 1; i < 800; ++i) deep += "\\k";
  const std::string relay = RelayRegistry();
  WriteRegistry(relay + deep + "]\r\n\"v\"=dword:00000001\r\n");
  const std::string line = std::to_string(std::count(relay.begin(), relay.end(), '\n') + 1);
  StartReceiver({}, false);
  ASSERT_TRUE(proc_.Wait(15000)) << Console();
  EXPECT_EQ(proc_.exitStatus(), 1);
  EXPECT_NE(Console().find("registry.reg(" + line + "): "), std::string::npos) << Console();

  deep = "[HKEY_LOCAL_MACHINE\\SOFTWARE";
  for (int i = 1; i < 512; ++i) deep += "\\k";
  std::string aliases;
  for (int i = 0; i < 20000; ++i)
    aliases += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\a" + std::to_string(i) +
               "]\r\n\"Alias\"=\"user" + std::to_string(i) + "\"\r\n";
  WriteRegistry(relay + deep + "]\r\n\"v\"=dword:00000001\r\n\r\n" + aliases);
  StartReceiver();
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Transaction(BodyWithToken("deep", 100)), "250 Message received OK");
  EXPECT_EQ(QueueFiles(".RCP").size(), 3u);
  EXPECT_NE(Registry().find("\"LastMsgId\"=dword:00000003"), std::string::npos);
}

// Temporary files of a registry change cut short are removed at the start, and nothing
// else that only looks alike.
TEST_F(FaultTest, LeftoverRegistryTemporaryFilesAreRemovedAtTheStart) {
  WriteRegistry(RelayRegistry());
  ASSERT_TRUE(WriteFileText(root_ + "/registry.reg.Xy12aB", "REGEDIT4\r\n[HKEY_LOC"));
  ASSERT_TRUE(WriteFileText(root_ + "/registry.reg.bak", "kept"));
  ASSERT_TRUE(WriteFileText(root_ + "/registry.reg.Xy12aB7", "kept"));
  StartReceiver();
  EXPECT_FALSE(std::filesystem::exists(root_ + "/registry.reg.Xy12aB"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/registry.reg.bak"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/registry.reg.Xy12aB7"));
  EXPECT_NE(Console().find("Removed 1 temporary registry file"), std::string::npos) << Console();
  EXPECT_EQ(Transaction(BodyWithToken("after", 100)), "250 Message received OK");
}

}  // namespace
}  // namespace kestran::test
