// kestran -CHECK: every setting with its source, the warnings the start would give, and
// an exit status that says whether the start would succeed; nothing is changed.

#include "receiver_fixture.h"

namespace kestran::test {
namespace {

class CheckTest : public ReceiverTest {
 protected:
  // Runs kestran -CHECK; its output in out, its exit status returned.
  int Check(std::string& out) {
    const std::string before = Registry();
    EXPECT_TRUE(
        proc_.Start(program_, {"-check"}, {{"KESTRAN_ROOT", root_}}, root_ + "/console.txt"));
    EXPECT_TRUE(proc_.Wait(30000));
    out = Console();
    EXPECT_EQ(Registry(), before) << "the check changes nothing";
    return proc_.exitStatus();
  }
};

TEST_F(CheckTest, ListsSettingsWithTheirSourceAndTheWarningsOfTheStart) {
  WriteRegistry(BaseRegistry("\"ESMPT\"=dword:00000001\r\n\"IPv6PrefixLength\"=dword:00000081\r\n"
                             "\"DeliverTo\"=\"lmtp:unix:/run/dovecot/lmtp\"\r\n"
                             "\"Frobnicate\"=dword:00000001\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\WhiteList]\r\n"
                "\"1\"=\"10.1.2.3/8\"\r\n\r\n");
  std::string out;
  EXPECT_EQ(Check(out), 0) << out;
  for (const char* line : {
           "KESTRAN SMTP Receiver Version 0.45\r\n",
           "  Port = " /* the fixture's port */,
           "  BoundIP = \"127.0.0.1\" (registry)\r\n",
           "  MaxRecipients = 1000 (default)\r\n",
           "  DeliverTo = \"lmtp:unix:/run/dovecot/lmtp\" (registry)\r\n",
           "  WhiteList: 10.1.2.3/8 (registry)\r\n",
           "  unknown setting 'ESMPT'; did you mean 'ESMTP'?\r\n",
           "  unknown setting 'Frobnicate'\r\n",
           "  The range '10.1.2.3/8' in 'WhiteList' has address bits outside its mask and is "
           "taken as 10.0.0.0/8\r\n",
           "  The prefix length 129 in 'IPv6PrefixLength' is outside 1 to 128 and is taken as "
           "64\r\n",
           "Errors: none\r\nThe start would succeed.\r\n",
       })
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  // The queue directory is not made by the check.
  EXPECT_FALSE(std::filesystem::exists(Native("mail/prein")));

  // The start gives the same warnings (in console mode, on the console).
  StartReceiver();
  StopReceiver();
  EXPECT_NE(Console().find("unknown setting 'ESMPT'; did you mean 'ESMTP'?"), std::string::npos)
      << Console();
}

TEST_F(CheckTest, ExitsWithOneWhenTheStartWouldFail) {
  WriteRegistry(BaseRegistry("\"MaxLineLength\"=\"long\"\r\n"));
  std::string out;
  EXPECT_EQ(Check(out), 1) << out;
  EXPECT_NE(out.find("  ERegistryException: Failed to get data for 'MaxLineLength'\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("The start would fail.\r\n"), std::string::npos) << out;

  WriteRegistry(
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n"
      "\"Port\"=dword:00000000\r\n\"TLSKeyFile\"=\"C:\\\\key.pem\"\r\n"
      "\"MailQueueDir\"=\"\\\\\\\\server\\\\\"\r\n\r\n");
  EXPECT_EQ(Check(out), 1) << out;
  for (const char* line : {"  Invalid TCP port 0 in 'Port'\r\n",
                           "  TLS key file 'C:\\key.pem' in 'TLSKeyFile' without a certificate",
                           "  MailQueueDir \\\\server\\: a network path, which cannot be used"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

}  // namespace
}  // namespace kestran::test
