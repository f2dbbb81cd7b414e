// test-labels: threads
// The receiver as a user runs it: kestran -DEBUG on a registry written by the test.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <ctime>

#include "receiver_fixture.h"

namespace kestran::test {
namespace {

std::string TodaysLogName() {
  std::time_t t = std::time(nullptr);
  std::tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "1%y%m%d.LOG", &tm);
  return buf;
}

TEST_F(ReceiverTest, TakesMailIntoQueueNumberedFromTheHostCounterAndLogsIt) {
  WriteRegistry(BaseRegistry("\"DoLocalNets\"=dword:00000001\r\n"
                             "\"MailInlogEnabled\"=dword:00000001\r\n"
                             "\"DoExtendedErrors\"=dword:00000001\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets]\r\n"
                "\"a\"=\"127.0.0.1/32\"\r\n\"b\"=\"not a range\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
                "\"LastMsgId\"=dword:00000029\r\n"
                // "example.test" and "corp.test" as a multi-string
                "\"DomainNamesAreLocal\"=hex(7):65,78,61,6d,70,6c,65,2e,74,65,73,74,00,63,6f,\\\r\n"
                "  72,70,2e,74,65,73,74,00,00\r\n\r\n");
  MakeDir("mail/inlog");  // the queue directory itself does not exist yet
  StartReceiver();
  std::string console = Console();
  EXPECT_NE(console.find("KESTRAN SMTP Receiver Version 0.45\r\n"), std::string::npos) << console;
  EXPECT_NE(console.find("Starting DRX KESTRAN Service\r\nPress <Ctrl>-Break to terminate\r\n"),
            std::string::npos)
      << console;
  EXPECT_TRUE(std::filesystem::is_empty(Native("mail/prein"))) << "no probe file remains";

  std::string host;
  {
    LineClient local("127.0.0.1", port_);
    ASSERT_TRUE(local.connected());
    std::string greeting = local.Line();
    ASSERT_EQ(greeting.rfind("220 ", 0), 0u) << greeting;
    const std::string tail = " KESTRAN SMTP Receiver Version 0.45 Ready";
    ASSERT_GT(greeting.size(), tail.size() + 4);
    EXPECT_EQ(greeting.substr(greeting.size() - tail.size()), tail);
    host = greeting.substr(4, greeting.size() - 4 - tail.size());
    EXPECT_EQ(local.Command("HELO client.test"), "250 OK client.test (unverified [127.0.0.1])");
    EXPECT_EQ(SendMessage(local, "a@b.test", {"bob@Example.TEST", "far@remote.test"},
                          "Subject: one\r\n\r\nbody\r\n..dot\r\n"),
              "250 Message received OK");
    EXPECT_EQ(local.Command("QUIT"), "221 " + host + " closing");
  }
  {
    LineClient other("127.0.0.2", port_);
    ASSERT_TRUE(other.connected());
    other.Line();
    EXPECT_EQ(other.Command("HELO other.test"), "250 OK other.test (unverified [127.0.0.2])");
    other.Command("MAIL FROM:<c@d.test>");
    EXPECT_EQ(other.Command("RCPT TO:<far@remote.test>"),
              "550 <far@remote.test>... Relaying denied");
    EXPECT_EQ(other.Command("RCPT TO:<ann@corp.test>"), "250 OK <ann@corp.test>");
    EXPECT_EQ(other.Command("DATA"), "354 Ready for data");
    other.Send("Date: x\r\nMessage-ID: <own@id>\r\n\r\nhi\r\n.\r\n");
    EXPECT_EQ(other.Line(), "250 Message received OK");
    other.Command("QUIT");
  }

  EXPECT_EQ(QueueFiles(".MSG"), (std::vector<std::string>{"B0000000042.MSG", "B0000000043.MSG"}));
  EXPECT_EQ(QueueFiles(".RCP"), (std::vector<std::string>{"B0000000042.RCP", "B0000000043.RCP"}));
  std::string msg = ReadFileText(Native("mail/prein/B0000000042.MSG"));
  EXPECT_EQ(msg.rfind("Received: from client.test (unverified [127.0.0.1]) by " + host +
                          "\r\n (KESTRAN 0.45) with SMTP id <B0000000042@" + host + ">;\r\n ",
                      0),
            0u)
      << msg;
  EXPECT_NE(msg.find("\r\nMessage-ID: <B0000000042@" + host +
                     ">\r\nSubject: one\r\n\r\nbody\r\n..dot\r\n.\r\n"),
            std::string::npos)
      << msg;
  EXPECT_EQ(ReadFileText(Native("mail/prein/B0000000042.RCP")),
            "Message-ID: <B0000000042@" + host +
                ">\r\nReturn-path: a@b.test\r\nRecipient: bob@Example.TEST\r\n"
                "Recipient: far@remote.test\r\n");
  std::string msg2 = ReadFileText(Native("mail/prein/B0000000043.MSG"));
  EXPECT_EQ(msg2.find("\r\nDate: "), msg2.find("\r\nDate: x")) << "no second Date line";
  EXPECT_EQ(ReadFileText(Native("mail/prein/B0000000043.RCP")),
            "Message-ID: <B0000000043@" + host +
                ">\r\nReturn-path: c@d.test\r\nRecipient: ann@corp.test\r\n");

  // The own counter now exists; the host's stays as it was.
  std::string reg = Registry();
  EXPECT_NE(reg.find("\"LastMsgId\"=dword:0000002b"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"LastMsgId\"=dword:00000029"), std::string::npos) << reg;

  std::string log = ReadFileText(Native("mail/inlog/" + TodaysLogName()));
  EXPECT_NE(log.find("<B0000000042@" + host + "> ["), std::string::npos) << log;
  EXPECT_NE(log.find("] 127.0.0.1 client.test a@b.test bob@Example.TEST far@remote.test\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("] 127.0.0.2 550 <far@remote.test> relaying denied\r\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("] 127.0.0.2 other.test c@d.test ann@corp.test\r\n"), std::string::npos)
      << log;

  StopReceiver();
  EXPECT_EQ(proc_.exitStatus(), 0);
  EXPECT_NE(Console().find("Stopping DRX KESTRAN Service\r\n"), std::string::npos) << Console();
}

TEST_F(ReceiverTest, IPv6ClientOnLoopbackIsLoggedPlainAndHeadedWithItsLiteral) {
  WriteRegistry(BaseRegistry("\"IPv6\"=dword:00000001\r\n\"BoundIPv6\"=\"::1\"\r\n"
                             "\"DoLocalNets\"=dword:00000001\r\n"
                             "\"MailInlogEnabled\"=dword:00000001\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets]\r\n"
                "\"a\"=\"0::1/128\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\WhiteList]\r\n"
                "\"a\"=\"2001:DB8::1/32\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
                "\"LastMsgId\"=dword:00000001\r\n\r\n");
  MakeDir("mail/inlog");
  StartReceiver();
  {
    LineClient six("::1", port_);
    ASSERT_TRUE(six.connected());
    six.Line();
    EXPECT_EQ(six.Command("HELO [IPv6:::1]"), "250 OK [IPv6:::1] (unverified [IPv6:::1])");
    EXPECT_EQ(SendMessage(six, "a@b.test", {"far@remote.test"}, "Subject: six\r\n\r\nhi\r\n"),
              "250 Message received OK");
    six.Command("QUIT");
  }
  const auto files = QueueFiles(".MSG");
  ASSERT_EQ(files.size(), 1u);
  std::string msg = ReadFileText(Native("mail/prein/" + files[0]));
  EXPECT_EQ(msg.rfind("Received: from [IPv6:::1] (unverified [IPv6:::1]) by ", 0), 0u) << msg;
  std::string log = ReadFileText(Native("mail/inlog/" + TodaysLogName()));
  EXPECT_NE(log.find("] ::1 [IPv6:::1] a@b.test far@remote.test\r\n"), std::string::npos) << log;
  // An IPv6 range wider than its text is named at start as an IPv4 one is.
  EXPECT_NE(Console().find("The range '2001:DB8::1/32' in 'WhiteList' has address bits outside "
                           "its mask and is taken as 2001:db8::/32"),
            std::string::npos)
      << Console();
  StopReceiver();
}

// HostName names the MX in the greeting, the trace header and its Message-ID, and QUIT.
TEST_F(ReceiverTest, GoesByTheConfiguredHostName) {
  WriteRegistry(
      BaseRegistry("\"HostName\"=\" mx.example.org \"\r\n\"AllowRelay\"=dword:00000001\r\n"
                   "\"LastMsgId\"=dword:00000000\r\n"));
  StartReceiver();
  {
    LineClient c("127.0.0.1", port_);
    EXPECT_EQ(c.Line(), "220 mx.example.org KESTRAN SMTP Receiver Version 0.45 Ready");
    c.Command("HELO client.test");
    EXPECT_EQ(SendMessage(c, "a@b.test", {"far@remote.test"}, "Subject: n\r\n\r\nhi\r\n"),
              "250 Message received OK");
    EXPECT_EQ(c.Command("QUIT"), "221 mx.example.org closing");
  }
  const auto files = QueueFiles(".MSG");
  ASSERT_EQ(files.size(), 1u);
  const std::string msg = ReadFileText(Native("mail/prein/" + files[0]));
  EXPECT_EQ(msg.rfind("Received: from client.test (unverified [127.0.0.1]) by mx.example.org\r\n"
                      " (KESTRAN 0.45) with SMTP id <",
                      0),
            0u)
      << msg;
  EXPECT_NE(msg.find("@mx.example.org>;\r\n"), std::string::npos) << msg;
  StopReceiver();
}

TEST_F(ReceiverTest, StopsRightAfterStartingWhenTheQueueDirectoryCannotBeMade) {
  // A UNC path without a share name: nothing can be created there.
  std::string reg = BaseRegistry();
  auto at = reg.find("\"MailQueueDir\"");
  reg.replace(at, reg.find("\r\n", at) - at, "\"MailQueueDir\"=\"\\\\\\\\server\\\\\"");
  WriteRegistry(reg);
  StartReceiver({}, false);
  ASSERT_TRUE(proc_.Wait(15000)) << "the service ends on its own";
  EXPECT_EQ(proc_.exitStatus(), 0) << Console();
  EXPECT_FALSE(WaitForPort(port_, 200));
}

TEST_F(ReceiverTest, ListensOnlyOnBoundIPAndRefusesAPortOutOfRange) {
  WriteRegistry(BaseRegistry());
  StartReceiver();
  int other = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  to.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
  EXPECT_NE(::connect(other, reinterpret_cast<sockaddr*>(&to), sizeof to), 0)
      << "bound to 127.0.0.1 only";
  ::close(other);
  StopReceiver();

  std::string reg = BaseRegistry();
  auto at = reg.find("\"Port\"");
  reg.replace(at, reg.find("\r\n", at) - at, "\"Port\"=dword:00010000");
  WriteRegistry(reg);
  StartReceiver({}, false);
  ASSERT_TRUE(proc_.Wait(15000));
  EXPECT_EQ(proc_.exitStatus(), 1);
  EXPECT_NE(Console().find("Invalid TCP port 65536 in 'Port'"), std::string::npos) << Console();

  // Name servers that cannot be used stop the start too, rather than falling back unseen.
  WriteRegistry(BaseRegistry("\"DNSServers\"=\"127.0.0.1:notaport\"\r\n"));
  StartReceiver({}, false);
  ASSERT_TRUE(proc_.Wait(15000));
  EXPECT_EQ(proc_.exitStatus(), 1);
  EXPECT_NE(Console().find("Invalid DNS server list '127.0.0.1:notaport' in 'DNSServers'"),
            std::string::npos)
      << Console();
}

TEST_F(ReceiverTest, RegistryFileThatDoesNotParseStopsTheStartWithFileAndLine) {
  WriteRegistry(BaseRegistry() + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Broken\r\n");
  std::string before = Registry();
  StartReceiver({}, false);
  ASSERT_TRUE(proc_.Wait(15000));
  EXPECT_EQ(proc_.exitStatus(), 1);
  std::string console = Console();
  EXPECT_NE(console.find("registry.reg"), std::string::npos) << console;
  std::string base = BaseRegistry();
  std::string line = std::to_string(std::count(base.begin(), base.end(), '\n') + 1);
  EXPECT_NE(console.find("registry.reg(" + line + ")"), std::string::npos)
      << "names the line " << line << ": " << console;
  EXPECT_EQ(Registry(), before) << "the file is left as it was";
}

}  // namespace
}  // namespace kestran::test
