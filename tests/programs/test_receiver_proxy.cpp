// test-labels: threads
// The running receiver behind a load balancer: a private HAProxy on loopback ports sends
// PROXY headers (versions 1 and 2) for clients it accepts from 127.0.0.2 and 127.0.0.3;
// the receiver trusts 127.0.0.1 (ProxyNets) and judges the clients by their own address.

#include <unistd.h>

#include <ctime>

#include "receiver_fixture.h"

namespace kestran::test {
namespace {

const char* const kHaproxy = "/usr/sbin/haproxy";

std::string Today(const char* format) {
  std::time_t t = std::time(nullptr);
  std::tm tm;
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

class ProxyReceiverTest : public ReceiverTest {
 protected:
  // Trusts 127.0.0.1, refuses 127.0.0.2, lets 127.0.0.3 relay, logs what comes in.
  void StartBehindBalancer() {
    WriteRegistry(BaseRegistry("\"MailInlogEnabled\"=dword:00000001\r\n"
                               "\"DoLocalNets\"=dword:00000001\r\n"
                               "\"ReceiveTimeout\"=dword:00000002\r\n"
                               "\"BlackListRejectionNotice\"=\"blocked here\"\r\n") +
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\ProxyNets]\r\n"
                  "\"1\"=\"127.0.0.1/32\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalBlackList]\r\n"
                  "\"1\"=\"127.0.0.2/32\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets]\r\n"
                  "\"1\"=\"127.0.0.3/32\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
                  "\"1\"=\"example.test\"\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
                  "\"LastMsgId\"=dword:00000001\r\n\r\n");
    MakeDir("mail/inlog");
    StartReceiver();
  }

  // A private HAProxy in the test's directory: one port sending version 1 headers, one
  // sending version 2.
  bool StartBalancer() {
    v1Port_ = FreeTcpPort();
    v2Port_ = FreeTcpPort();
    const std::string backend = "127.0.0.1:" + std::to_string(port_);
    const std::string config =
        "global\n  maxconn 100\n"
        "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
        "  timeout server 30s\n"
        "listen v1\n  bind 127.0.0.1:" +
        std::to_string(v1Port_) + "\n" + "  server rx " + backend +
        " send-proxy\n"
        "listen v2\n  bind 127.0.0.1:" +
        std::to_string(v2Port_) + "\n" + "  server rx " + backend + " send-proxy-v2\n";
    const std::string file = root_ + "/haproxy.cfg";
    if (!WriteFileText(file, config)) return false;
    if (!balancer_.Start(kHaproxy, {"-db", "-f", file}, {}, root_ + "/haproxy.txt")) return false;
    return WaitForPort(v1Port_, 10000) && WaitForPort(v2Port_, 10000);
  }
  void TearDown() override {
    if (balancer_.running()) {
      balancer_.Signal(SIGKILL);
      balancer_.Wait(5000);
    }
    ReceiverTest::TearDown();
  }

  ChildProcess balancer_;
  uint16_t v1Port_ = 0;
  uint16_t v2Port_ = 0;
};

TEST_F(ProxyReceiverTest, ClientsBehindHaproxyAreJudgedByTheirOwnAddress) {
  if (::access(kHaproxy, X_OK) != 0) GTEST_SKIP() << "haproxy is not installed";
  StartBehindBalancer();
  ASSERT_TRUE(StartBalancer()) << ReadFileText(root_ + "/haproxy.txt");

  for (uint16_t front : {v1Port_, v2Port_}) {
    SCOPED_TRACE(front == v1Port_ ? "send-proxy" : "send-proxy-v2");
    {
      // 127.0.0.2 is on the black list: refused, though the balancer is not.
      LineClient black("127.0.0.2", front);
      ASSERT_EQ(black.Line().rfind("220 ", 0), 0u) << Console();
      EXPECT_EQ(black.Command("HELO black.test"),
                "250 OK black.test (unverified [127.0.0.2]), access restricted");
      black.Command("MAIL FROM:<a@b.test>");
      EXPECT_EQ(black.Command("RCPT TO:<u@example.test>"), "554 access denied, blocked here");
      black.Command("QUIT");
    }
    {
      // 127.0.0.3 may relay; its message carries its own address.
      LineClient local("127.0.0.3", front);
      ASSERT_EQ(local.Line().rfind("220 ", 0), 0u);
      EXPECT_EQ(local.Command("HELO relay.test"), "250 OK relay.test (unverified [127.0.0.3])");
      EXPECT_EQ(SendMessage(local, "a@b.test", {"far@remote.test"}, "Subject: s\r\n\r\nbody\r\n"),
                "250 Message received OK");
      local.Command("QUIT");
    }
  }
  // Straight from an address that is not trusted, a PROXY line is just an unknown command.
  {
    LineClient direct("127.0.0.4", port_);
    ASSERT_EQ(direct.Line().rfind("220 ", 0), 0u);
    EXPECT_EQ(direct.Command("PROXY TCP4 127.0.0.3 127.0.0.1 1 25"),
              "500 Syntax Error, Command Unrecognized PROXY TCP4 127.0.0.3 127.0.0.1 1 25");
    EXPECT_EQ(direct.Command("HELO d.test"), "250 OK d.test (unverified [127.0.0.4])");
  }

  const std::vector<std::string> msgs = QueueFiles(".MSG");
  ASSERT_EQ(msgs.size(), 2u);
  for (const auto& name : msgs) {
    const std::string msg = ReadFileText(Native("mail/prein/" + name));
    EXPECT_EQ(msg.rfind("Received: from relay.test (unverified [127.0.0.3]) by ", 0), 0u) << msg;
  }
  const std::string log = ReadFileText(Native("mail/inlog/" + Today("1%y%m%d.LOG")));
  EXPECT_EQ(Occurrences(log, "] 127.0.0.2 554 access denied, blocked here\r\n"), 2u) << log;
  EXPECT_EQ(Occurrences(log, "] 127.0.0.3 relay.test a@b.test far@remote.test\r\n"), 2u) << log;
  EXPECT_EQ(log.find("] 127.0.0.1 "), std::string::npos) << log;
}

TEST_F(ProxyReceiverTest, TrustedConnectionsWithoutAUsableHeaderAreClosedUngreeted) {
  StartBehindBalancer();
  const std::string sig("\r\n\r\n\0\r\nQUIT\n", 12);
  const std::string v1 = "PROXY TCP4 127.0.0.3 127.0.0.1 40000 25\r\n";
  const std::string cases[] = {
      "EHLO client.test\r\n",                                                     // no header
      v1.substr(0, 20),                                                           // cut short
      std::string("\r\n\r\n\0\r\nQUIT\r", 12) + std::string(8, 'x'),              // wrong signature
      "PROXY TCP4 127.0.0.3 127.0.0.1 40000 25" + std::string(70, ' ') + "\r\n",  // 107+
      sig + std::string("\x21\x31\x00\xd8", 4) + std::string(216, '/'),           // AF_UNIX
  };
  for (const auto& bytes : cases) {
    LineClient c("127.0.0.1", port_);
    c.Send(bytes);
    // Closed without a greeting; the one that stops short is closed after ReceiveTimeout.
    EXPECT_EQ(c.Line(6000), "") << testing::PrintToString(bytes);
  }
  // A version 2 header with an extension record, with the client's commands right
  // behind it in the same packet: nothing of them is lost.
  std::string v2 = sig + std::string("\x21\x11\x00\x13", 4) +
                   std::string("\x7f\x00\x00\x03\x7f\x00\x00\x01\x9c\x40\x00\x19", 12) +
                   std::string("\x04\x00\x04node", 7);
  LineClient c("127.0.0.1", port_);
  c.Send(v2 + "HELO piped.test\r\nNOOP\r\n");
  EXPECT_EQ(c.Line().rfind("220 ", 0), 0u) << Console();
  EXPECT_EQ(c.Line(), "250 OK piped.test (unverified [127.0.0.3])");
  EXPECT_EQ(c.Line(), "250 NOOP Performed");
  // LOCAL: the balancer's own check, served under its own address.
  LineClient check("127.0.0.1", port_);
  check.Send(sig + std::string("\x20\x00\x00\x00", 4));
  EXPECT_EQ(check.Line().rfind("220 ", 0), 0u);
  EXPECT_EQ(check.Command("HELO lb.test"), "250 OK lb.test (unverified [127.0.0.1])");

  // One event-log line for the burst of five, naming the balancer.
  const std::string console = Console();
  EXPECT_EQ(Occurrences(console, "without a valid PROXY header were closed"), 1u) << console;
  EXPECT_NE(console.find("(1 since the last report; last cause: 127.0.0.1: no PROXY header)"),
            std::string::npos)
      << console;
}

}  // namespace
}  // namespace kestran::test
