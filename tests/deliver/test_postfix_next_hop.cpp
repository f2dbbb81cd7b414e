// Postfix as the next hop, a private instance on a loopback port (every message it takes
// waits in its hold queue), and Postfix's sendmail pointed at that instance: what the
// client sent arrives in Postfix's queue unchanged below the trace headers.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "deliver_fixture.h"
#include "programs/receiver_fixture.h"
#include "support/child_process.h"
#include "support/test_cert.h"

namespace kestran::test {
namespace {

class PostfixNextHopTest : public ReceiverTest {
 protected:
  void SetUp() override {
    ReceiverTest::SetUp();
    if (!ProgramExists("/usr/sbin/postfix") || ::getuid() != 0) {
      if (InCi()) FAIL() << "Postfix (and root) are needed in CI";
      GTEST_SKIP() << "a private Postfix needs the postfix package and root";
    }
    const char* src = std::getenv("KESTRAN_SOURCE_DIR");
    script_ = std::string(src ? src : ".") + "/bench/postfix_peer.sh";
    // Postfix's own daemons run as its account and must reach their queue.
    ::chmod(root_.c_str(), 0755);
    pfDir_ = root_ + "/postfix";
    pfPort_ = FreeTcpPort();
    std::string out;
    ASSERT_EQ(
        RunCommand("bash -c '. " + script_ + "; postfix_peer_start " + pfDir_ + " " +
                       std::to_string(pfPort_) + "' </dev/null >" + root_ + "/pf-start.txt 2>&1",
                   out),
        0)
        << ReadFileText(root_ + "/pf-start.txt");
    started_ = true;
    const char* build = std::getenv("KESTRAN_BUILD_DIR");
    deliver_ = std::string(build ? build : ".") + "/kestran-deliver";
  }
  void TearDown() override {
    if (deliverProc_.running()) {
      deliverProc_.Signal(SIGINT);
      deliverProc_.Wait(15000);
    }
    std::string out;
    if (started_)
      RunCommand("bash -c '. " + script_ + "; postfix_peer_stop " + pfDir_ +
                     "' </dev/null >/dev/null 2>&1",
                 out);
    ReceiverTest::TearDown();
  }
  void Run(const std::string& deliverTo) {
    WriteRegistry(
        BaseRegistry("\"LastMsgId\"=dword:00000000\r\n\"DeliverTo\"=\"" + deliverTo + "\"\r\n") +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
        "\"1\"=\"corp.example\"\r\n\r\n");
    StartReceiver();
    ASSERT_TRUE(deliverProc_.Start(deliver_, {"-DEBUG"}, {{"KESTRAN_ROOT", root_}},
                                   root_ + "/deliver.txt"));
  }
  // Queue files of the Postfix instance (any of its queues).
  std::vector<std::string> PostfixQueued() const {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const char* q : {"hold", "incoming", "active", "deferred"})
      for (auto& e : std::filesystem::recursive_directory_iterator(pfDir_ + "/queue/" + q, ec))
        if (e.is_regular_file()) ids.push_back(e.path().filename().string());
    return ids;
  }
  std::string PostfixMessage(const std::string& id) {
    std::string out;
    RunCommand("postcat -c " + pfDir_ + "/etc -bh -q " + id, out);
    return out;
  }
  bool WaitForQueued(size_t n) {
    for (int i = 0; i < 300 && PostfixQueued().size() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return PostfixQueued().size() >= n;
  }

  std::string script_, pfDir_, deliver_;
  uint16_t pfPort_ = 0;
  bool started_ = false;
  ChildProcess deliverProc_;
};

const std::string kBody =
    "Date: Tue, 08 Dec 2026 02:00:00 +0000\r\nMessage-ID: <pf-1@client.test>\r\n"
    "From: <alice@client.test>\r\nSubject: via postfix\r\n\r\n..leading dot\r\n"
    "bare\nline feed\r\nbare\rcarriage\r.\r\n.\nreturn\r\nend\r\n";
// Each bare line end a line end of its own; a dot after one stays text, a dot that
// the client stuffed before one goes.
const std::string kStored =
    "Date: Tue, 08 Dec 2026 02:00:00 +0000\nMessage-ID: <pf-1@client.test>\n"
    "From: <alice@client.test>\nSubject: via postfix\n\n.leading dot\nbare\nline feed\n"
    "bare\ncarriage\n.\n\nreturn\nend\n";

TEST_F(PostfixNextHopTest, SmtpNextHopQueuesTheMessageUnchanged) {
  Run("smtp:[127.0.0.1]:" + std::to_string(pfPort_));
  LineClient c("127.0.0.1", port_);
  c.Line();
  c.Command("HELO client.test");
  ASSERT_EQ(ReceiverTest::SendMessage(c, "alice@client.test", {"bob@corp.example"}, kBody),
            "250 Message received OK");
  ASSERT_TRUE(WaitForQueued(1)) << ReadFileText(root_ + "/deliver.txt");
  const std::string stored = PostfixMessage(PostfixQueued()[0]);
  EXPECT_EQ(BelowTrace(stored), kStored) << stored;
  const std::string log = ReadFileText(root_ + "/deliver.txt");
  EXPECT_NE(log.find("B0000000001: to=<bob@corp.example>, relay=smtp:[127.0.0.1]:" +
                     std::to_string(pfPort_)),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("status=sent (250 2.0.0 Ok: queued as "), std::string::npos) << log;
}

TEST_F(PostfixNextHopTest, PostfixSendmailTakesTheMessageUnstuffed) {
  const std::string wrapper = root_ + "/sendmail";
  ASSERT_TRUE(
      WriteFileText(wrapper, "#!/bin/sh\nexec /usr/sbin/sendmail -C " + pfDir_ + "/etc \"$@\"\n"));
  ::chmod(wrapper.c_str(), 0755);
  Run("sendmail:" + wrapper);
  LineClient c("127.0.0.1", port_);
  c.Line();
  c.Command("HELO client.test");
  ASSERT_EQ(ReceiverTest::SendMessage(c, "alice@client.test", {"bob@corp.example"}, kBody),
            "250 Message received OK");
  ASSERT_TRUE(WaitForQueued(1)) << ReadFileText(root_ + "/deliver.txt");
  std::string stored;
  for (int i = 0; i < 100 && BelowTrace(stored).empty(); ++i) {
    stored = PostfixMessage(PostfixQueued()[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(BelowTrace(stored), kStored) << stored;
}

// The receiver asks Postfix about each local recipient at RCPT (relay_recipient_maps):
// a known user is taken, an unknown one refused at once, a stopped Postfix makes the
// sender wait, and Postfix back is asked again. Postfix's SIZE caps what EHLO offers.
TEST_F(PostfixNextHopTest, RecipientsAreVerifiedAtTheDoorAgainstPostfix) {
  std::string out;
  const std::string etc = pfDir_ + "/etc";
  ASSERT_EQ(RunCommand("postconf -c " + etc +
                           " -e 'relay_domains = relay.example' "
                           "'relay_recipient_maps = inline:{bob@relay.example=ok, "
                           "carol@relay.example=ok}' 'message_size_limit = 10240000' && "
                           "postfix -c " +
                           etc + " reload >/dev/null 2>&1",
                       out),
            0)
      << out;
  WriteRegistry(BaseRegistry("\"ESMTP\"=dword:00000001\r\n\"VerifyRecipients\"=dword:00000001\r\n"
                             "\"DeliverTo\"=\"smtp:[127.0.0.1]:" +
                             std::to_string(pfPort_) + "\"\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
                "\"1\"=\"relay.example\"\r\n\r\n");
  StartReceiver();
  auto rcpt = [&](const std::string& to) {
    LineClient c("127.0.0.1", port_);
    c.Line();
    c.Command("HELO client.test");
    c.Command("MAIL FROM:<alice@client.test>");
    return c.Command("RCPT TO:<" + to + ">");
  };
  EXPECT_EQ(rcpt("bob@relay.example"), "250 OK <bob@relay.example>") << Console();
  EXPECT_EQ(rcpt("nobody@relay.example"), "550 <nobody@relay.example>... user not valid");
  {
    LineClient c("127.0.0.1", port_);
    c.Line();
    c.Send("EHLO client.test\r\n");
    std::string size;
    for (std::string l = c.Line(); !l.empty(); l = c.Line()) {
      if (l.find("SIZE") != std::string::npos) size = l;
      if (l.size() < 4 || l[3] != '-') break;
    }
    EXPECT_EQ(size, "250-SIZE 10240000");
  }
  ASSERT_EQ(RunCommand("postfix -c " + etc + " stop >/dev/null 2>&1", out), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(rcpt("carol@relay.example"),
            "450 <carol@relay.example>... recipient cannot be verified now, try again later");
  EXPECT_EQ(rcpt("bob@relay.example"), "250 OK <bob@relay.example>");  // remembered
  ASSERT_EQ(RunCommand("postfix -c " + etc + " start >/dev/null 2>&1", out), 0);
  std::string back;
  for (int i = 0; i < 50 && back.rfind("250", 0) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    back = rcpt("carol@relay.example");
  }
  EXPECT_EQ(back, "250 OK <carol@relay.example>");
}

}  // namespace
}  // namespace kestran::test
