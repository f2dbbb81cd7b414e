// kestran-deliver run as a user runs it, beside the receiver: from an SMTP client into a
// private Dovecot's Maildir, to a sendmail program, -QUEUE and -FLUSH, and kill -9 at
// random moments under load.
// test-labels: threads

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "deliver_fixture.h"
#include "programs/receiver_fixture.h"
#include "scripted_peer.h"
#include "support/promtool.h"
#include "support/test_cert.h"

namespace kestran::test {
namespace {

std::string Lf(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}

// The body as a reader sees it: CR LF lines, un-stuffed, as CR LF text.
std::string Unstuffed(const std::string& body) {
  std::string out;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find("\r\n", pos);
    std::string line = body.substr(pos, end - pos);
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    out += line + "\r\n";
    pos = end + 2;
  }
  return out;
}

class DeliverProgramTest : public ReceiverTest {
 protected:
  void SetUp() override {
    ReceiverTest::SetUp();
    const char* build = std::getenv("KESTRAN_BUILD_DIR");
    deliver_ = std::string(build ? build : ".") + "/kestran-deliver";
    MakeDir("mail/prein");
  }
  void TearDown() override {
    StopDeliver();
    ReceiverTest::TearDown();
  }
  void Configure(const std::string& deliverTo, const std::string& more = "") {
    WriteRegistry(BaseRegistry("\"LastMsgId\"=dword:00000000\r\n\"DeliverTo\"=\"" + deliverTo +
                               "\"\r\n\"DeliverTimeout\"=dword:00000005\r\n" + more) +
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
                  "\"1\"=\"example.org\"\r\n\r\n");
  }
  void StartDeliver() {
    deliverProc_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(deliverProc_->Start(deliver_, {"-DEBUG"}, {{"KESTRAN_ROOT", root_}},
                                    root_ + "/deliver.txt"));
  }
  void StopDeliver() {
    if (!deliverProc_ || !deliverProc_->running()) return;
    deliverProc_->Signal(SIGINT);
    if (!deliverProc_->Wait(15000)) {
      deliverProc_->Signal(SIGKILL);
      deliverProc_->Wait(5000);
    }
  }
  std::string DeliverLog() const { return ReadFileText(root_ + "/deliver.txt"); }
  int RunDeliver(const std::vector<std::string>& args, std::string& out) {
    ChildProcess p;
    EXPECT_TRUE(p.Start(deliver_, args, {{"KESTRAN_ROOT", root_}}, root_ + "/run.txt"));
    EXPECT_TRUE(p.Wait(30000));
    out = ReadFileText(root_ + "/run.txt");
    return p.exitStatus();
  }
  // Waits until the condition holds (at most ms).
  template <class F>
  bool WaitUntil(F f, int ms = 15000) {
    for (int i = 0; i < ms / 20; ++i) {
      if (f()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return f();
  }
  std::string Queue() const { return Native("mail/prein") + "/"; }

  std::string deliver_;
  std::unique_ptr<ChildProcess> deliverProc_;
};

TEST_F(DeliverProgramTest, WithoutATransportItRefusesToStartWithOneLine) {
  WriteRegistry(BaseRegistry());
  std::string out;
  EXPECT_EQ(RunDeliver({"-DEBUG"}, out), 1);
  EXPECT_EQ(out,
            "kestran-deliver: DeliverTo is empty, no transport to deliver to (set DeliverTo "
            "under HKLM\\SOFTWARE\\Brackenwold\\KESTRAN)\n");
  Configure("pop3:[127.0.0.1]:110");
  EXPECT_EQ(RunDeliver({"-DEBUG"}, out), 1);
  EXPECT_NE(out.find("Invalid transport 'pop3:[127.0.0.1]:110' in 'DeliverTo'"), std::string::npos);
}

TEST_F(DeliverProgramTest, MailReachesDovecotsMaildirByteExactBelowTheTrace) {
  KESTRAN_REQUIRE_PROGRAM("/usr/sbin/dovecot");
  ScratchDir dv;
  DovecotInstance dovecot;
  ASSERT_TRUE(dovecot.Start(dv.path())) << dovecot.log();
  Configure("lmtp:unix:" + dovecot.socket());
  StartReceiver();
  StartDeliver();

  // Dotted lines, an empty line, 8-bit text, a long line.
  const std::string body =
      "Date: Tue, 08 Dec 2026 02:00:00 +0000\r\nMessage-ID: <e2e-1@client.test>\r\n"
      "From: <alice@client.test>\r\nSubject: round trip\r\n\r\n..leading dot\r\n"
      "...two dots\r\n\r\nK\xc3\xa4se\r\n" +
      std::string(5000, 'x') + "\r\nlast line\r\n";
  LineClient c("127.0.0.1", port_);
  ASSERT_TRUE(c.connected());
  c.Line();
  c.Command("HELO client.test");
  ASSERT_EQ(ReceiverTest::SendMessage(c, "alice@client.test",
                                      {"bob@example.org", "carol@example.org"}, body),
            "250 Message received OK");
  // A client that sends a bare LF and a bare CR with "." between them.
  const std::string sneaky =
      "Date: Tue, 08 Dec 2026 02:00:00 +0000\r\nMessage-ID: <e2e-2@client.test>\r\n"
      "Subject: sneaky\r\n\r\nbefore\n.\nMAIL FROM:<evil@x>\r\nmiddle\r.\rafter\r\n";
  ASSERT_EQ(ReceiverTest::SendMessage(c, "alice@client.test", {"dave@example.org"}, sneaky),
            "250 Message received OK");
  ASSERT_TRUE(WaitUntil([&] {
    return dovecot.Mailbox("bob").size() == 1 && dovecot.Mailbox("carol").size() == 1 &&
           dovecot.Mailbox("dave").size() == 1 && QueueFiles(".RCP").empty() &&
           QueueFiles(".MSG").empty() && QueueFiles(".DLV").empty();
  })) << DeliverLog()
      << dovecot.log();

  const std::string stored = ReadFileText(dovecot.Mailbox("bob")[0]);
  EXPECT_EQ(BelowTrace(stored), Lf(Unstuffed(body))) << stored;
  EXPECT_EQ(BelowTrace(ReadFileText(dovecot.Mailbox("carol")[0])), Lf(Unstuffed(body)));
  // One message, whole: each bare line end became a line end of its own, and the lone
  // dots stayed text.
  EXPECT_EQ(BelowTrace(ReadFileText(dovecot.Mailbox("dave")[0])),
            "Date: Tue, 08 Dec 2026 02:00:00 +0000\nMessage-ID: <e2e-2@client.test>\n"
            "Subject: sneaky\n\nbefore\n.\nMAIL FROM:<evil@x>\nmiddle\n.\nafter\n");
  EXPECT_TRUE(QueueFiles(".MSG").empty());
  EXPECT_TRUE(QueueFiles(".DLV").empty());
  const std::string log = DeliverLog();
  EXPECT_NE(
      log.find("B0000000001: to=<bob@example.org>, relay=lmtp:" + dovecot.socket() + ", delay="),
      std::string::npos)
      << log;
  EXPECT_NE(log.find(", tries=1, status=sent (250 2.0.0 <carol@example.org> "), std::string::npos);

  // The same over TCP.
  StopDeliver();
  Configure("lmtp:[127.0.0.1]:" + std::to_string(dovecot.port()));
  StartDeliver();
  ASSERT_EQ(ReceiverTest::SendMessage(c, "alice@client.test", {"bob@example.org"}, body),
            "250 Message received OK");
  ASSERT_TRUE(WaitUntil([&] { return dovecot.Mailbox("bob").size() == 2; })) << DeliverLog();
  EXPECT_EQ(BelowTrace(ReadFileText(dovecot.Mailbox("bob")[1])), Lf(Unstuffed(body)));

  // And from swaks, as a user would send it.
  if (ProgramExists("/usr/bin/swaks")) {
    std::string out;
    ASSERT_EQ(
        RunCommand(
            "swaks --server 127.0.0.1:" + std::to_string(port_) +
                " --helo client.test --from alice@client.test --to bob@example.org"
                " --header 'Subject: from swaks' --body \"$(printf 'first\\n.dot line\\nlast')\"",
            out),
        0)
        << out;
    ASSERT_TRUE(WaitUntil([&] { return dovecot.Mailbox("bob").size() == 3; })) << DeliverLog();
    const std::string third = BelowTrace(ReadFileText(dovecot.Mailbox("bob")[2]));
    EXPECT_NE(third.find("Subject: from swaks\n"), std::string::npos) << third;
    EXPECT_NE(third.find("\n\nfirst\n.dot line\nlast\n"), std::string::npos) << third;
  }
}

TEST_F(DeliverProgramTest, SendmailGetsTheClientsMessageBackAndTheMetricsFileCountsIt) {
  const std::string script = root_ + "/sendmail";
  ASSERT_TRUE(WriteFileText(script, "#!/bin/sh\ncat > " + root_ + "/sendmail.out\n"));
  ::chmod(script.c_str(), 0755);
  MakeDir("metrics");
  Configure("sendmail:" + script, "\"DeliverMetricsFile\"=\"C:\\\\metrics\\\\deliver.prom\"\r\n");
  StartReceiver();
  StartDeliver();
  const std::string body =
      "Date: Tue, 08 Dec 2026 02:00:00 +0000\r\nMessage-ID: <sm@client.test>\r\n"
      "Subject: s\r\n\r\n..one\r\n.\xff\r\n....\r\nend\r\n";
  LineClient c("127.0.0.1", port_);
  c.Line();
  c.Command("HELO client.test");
  ASSERT_EQ(ReceiverTest::SendMessage(c, "alice@client.test", {"bob@example.org"}, body),
            "250 Message received OK");
  ASSERT_TRUE(WaitUntil([&] { return QueueFiles(".RCP").empty(); })) << DeliverLog();
  EXPECT_EQ(BelowTrace(ReadFileText(root_ + "/sendmail.out")), Lf(Unstuffed(body)));

  // Written at the start (an empty queue) and again at the stop.
  const std::string metrics = Native("metrics/deliver.prom");
  StopDeliver();
  const std::string text = ReadFileText(metrics);
  for (const char* line :
       {"kestran_deliver_messages_total{result=\"sent\"} 1",
        "kestran_deliver_recipients_total{result=\"sent\"} 1",
        "kestran_deliver_recipients_total{result=\"deferred\"} 0",
        "kestran_deliver_delay_seconds_count 1", "kestran_deliver_queue_pairs{state=\"new\"} 0",
        "kestran_deliver_pairs_in_progress 0"})
    EXPECT_NE(text.find("\n" + std::string(line) + "\n"), std::string::npos) << line << "\n"
                                                                             << text;
  EXPECT_EQ(PromtoolObjections(metrics), "") << text;
}

TEST_F(DeliverProgramTest, QueueListsWhatWaitsAndFlushRetriesNow) {
  uint16_t closed;
  {
    ScriptedPeer gone([](PeerSession&) {});
    closed = gone.port();
  }
  Configure("smtp:[127.0.0.1]:" + std::to_string(closed));
  WritePairFiles(Queue(), "B0000000077", QueueMessage("Subject: w\r\n\r\nbody\r\n"),
                 QueueRecipients("alice@client.test", {"bob@example.org"}));
  std::string out;
  // Without a running program, -FLUSH makes one pass itself.
  EXPECT_EQ(RunDeliver({"-FLUSH"}, out), 0);
  EXPECT_NE(out.find("B0000000077: to=<bob@example.org>, relay=smtp:[127.0.0.1]:" +
                     std::to_string(closed) + ", delay="),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(", tries=1, status=deferred (connect to [127.0.0.1]:"), std::string::npos);
  EXPECT_EQ(RunDeliver({"-QUEUE"}, out), 0);
  EXPECT_NE(out.find("B0000000077  age 0d 00:00:0"), std::string::npos) << out;
  EXPECT_NE(out.find("from <alice@client.test>\n  bob@example.org  deferred  tries=1  next="),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("1 queued message\n"), std::string::npos);
  // A pair set aside whose sender never heard of a recipient is named after the count.
  std::filesystem::create_directories(Queue() + "failed");
  ASSERT_TRUE(WriteFileText(Queue() + "failed/B0000000070.DLV",
                            "kestran-deliver-state 1\nqueued 1\n"
                            "rcpt bounced 1 0 0 2 gone@example.org 550 no\n"
                            "rcpt bounced 1 0 0 1 told@example.org 550 no\ndone failed\n"));
  EXPECT_EQ(RunDeliver({"-QUEUE"}, out), 0);
  EXPECT_NE(out.find("1 queued message\nfailed/B0000000070  never notified: gone@example.org\n"),
            std::string::npos)
      << out;

  // The running program takes the request and retries at once, the next hop now there.
  RecordingPeer peer(false, {"PIPELINING"});
  Configure("smtp:[127.0.0.1]:" + std::to_string(peer.port()));
  StartDeliver();
  ASSERT_TRUE(
      WaitUntil([&] { return DeliverLog().find("Delivering the queue") != std::string::npos; }));
  EXPECT_TRUE(QueueFiles(".RCP").size() == 1);  // not due for a minute
  EXPECT_EQ(RunDeliver({"-FLUSH"}, out), 0);
  EXPECT_EQ(out, "kestran-deliver: the running program retries every pair now\n");
  ASSERT_TRUE(WaitUntil([&] { return QueueFiles(".RCP").empty(); })) << DeliverLog();
  // The reply is recorded before it is logged.
  EXPECT_TRUE(WaitUntil([&] {
    return DeliverLog().find("tries=2, status=sent (250 2.0.0 Ok: queued)") != std::string::npos;
  })) << DeliverLog();
  EXPECT_EQ(peer.Messages().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(Queue() + "kestran-deliver.flush"));
  // A second program on the same queue refuses to start.
  EXPECT_EQ(RunDeliver({"-DEBUG"}, out), 1);
  EXPECT_NE(out.find("Another kestran-deliver is at work"), std::string::npos) << out;
}

TEST_F(DeliverProgramTest, HoldReleaseRequeueAndDeleteWorkWithAndWithoutTheService) {
  RecordingPeer peer(false, {"PIPELINING"}, [](const std::string& a) {
    return a == "later@example.org" ? "451 4.2.0 later" : "";
  });
  Configure("smtp:[127.0.0.1]:" + std::to_string(peer.port()));
  WritePairFiles(Queue(), "B0000000101", QueueMessage("Subject: a\r\n\r\nbody\r\n"),
                 QueueRecipients("alice@client.test", {"bob@example.org"}));
  WritePairFiles(Queue(), "B0000000102", QueueMessage("Subject: b\r\n\r\nbody\r\n"),
                 QueueRecipients("alice@client.test", {"carol@example.org", "later@example.org"}));
  std::string out;
  // Without the service: the hold is a file beside the pair, and -QUEUE shows it.
  EXPECT_EQ(RunDeliver({"-HOLD", "b0000000101"}, out), 0) << out;
  EXPECT_EQ(out, "B0000000101: held\n");
  EXPECT_EQ(RunDeliver({"-QUEUE"}, out), 0);
  EXPECT_NE(out.find("from <alice@client.test>  held\n  bob@example.org  pending"),
            std::string::npos)
      << out;
  EXPECT_EQ(RunDeliver({"-HOLD", "B0000009999"}, out), 1);
  EXPECT_EQ(out, "kestran-deliver: no queued pair B0000009999\n");
  EXPECT_EQ(RunDeliver({"-DELETE", "ALL"}, out), 1);
  EXPECT_EQ(RunDeliver({"-HOLD", "../B0000000101"}, out), 1);

  // The service delivers what is not held, and leaves the held pair alone.
  StartDeliver();
  ASSERT_TRUE(WaitUntil([&] {
    return DeliverLog().find("to=<later@example.org>") != std::string::npos;
  })) << DeliverLog();
  EXPECT_EQ(peer.Messages().size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(Queue() + "B0000000101.RCP"));
  EXPECT_EQ(DeliverLog().find("B0000000101:"), std::string::npos) << DeliverLog();

  // Released: due at once, delivered by the running service.
  EXPECT_EQ(RunDeliver({"-RELEASE", "B0000000101"}, out), 0) << out;
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Queue() + "B0000000101.RCP"); }))
      << DeliverLog();
  // Requeued: the deferred recipient is tried at once rather than in a minute.
  EXPECT_EQ(RunDeliver({"-REQUEUE", "ALL"}, out), 0) << out;
  EXPECT_NE(out.find("B0000000102: requeued\n"), std::string::npos) << out;
  ASSERT_TRUE(WaitUntil([&] {
    return DeliverLog().find("to=<later@example.org>, relay=smtp:[127.0.0.1]:" +
                             std::to_string(peer.port())) !=
           DeliverLog().rfind("to=<later@example.org>, relay=smtp:[127.0.0.1]:" +
                              std::to_string(peer.port()));
  })) << DeliverLog();
  EXPECT_NE(DeliverLog().find("tries=2, status=deferred (451 4.2.0 later)"), std::string::npos);
  // Deleted: gone with its state, and the recipient that never got it is named.
  EXPECT_EQ(RunDeliver({"-DELETE", "B0000000102"}, out), 0) << out;
  EXPECT_NE(
      out.find("B0000000102: deleted by the operator; never delivered to <later@example.org>\n"),
      std::string::npos)
      << out;
  for (const char* ext : {".RCP", ".MSG", ".DLV"})
    EXPECT_FALSE(std::filesystem::exists(Queue() + "B0000000102" + ext)) << ext;
  StopDeliver();
  EXPECT_EQ(peer.Messages().size(), 2u);
}

TEST_F(DeliverProgramTest, KillNineUnderLoadNeverRepeatsARecordedRecipient) {
  // Replies come one by one, slowly, so that kills fall between them.
  RecordingPeer peer(true, {"PIPELINING"}, nullptr, [](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
    return std::string();
  });
  Configure(
      "lmtp:[127.0.0.1]:" + std::to_string(peer.port()),
      "\"DeliverConcurrency\"=dword:00000001\r\n\"DeliverRecipientLimit\"=dword:00000004\r\n");
  constexpr int kPairs = 60;
  constexpr int kRecipients = 6;
  constexpr int kPerTransaction = 4;
  for (int n = 1; n <= kPairs; ++n) {
    char stem[16];
    std::snprintf(stem, sizeof stem, "B%010d", n);
    std::vector<std::string> to;
    for (int r = 0; r < kRecipients; ++r) to.push_back("u" + std::to_string(r) + "@example.org");
    WritePairFiles(Queue(), stem, QueueMessage(std::string("X-Pair: ") + stem + "\r\n\r\nbody\r\n"),
                   QueueRecipients("alice@client.test", to));
  }
  // What the state files hold as sent: never to be delivered again.
  auto recordedSent = [&] {
    std::set<std::string> sent;
    for (const auto& name : QueueFiles(".DLV")) {
      TDeliveryState state;
      if (!LoadDeliveryState(Queue(), name.substr(0, 11), state)) continue;
      for (const auto& r : state.recipients)
        if (r.state == TRecipientState::Sent) sent.insert(name.substr(0, 11) + " " + r.address);
    }
    // A recipient file under its sent name: every recipient got the message.
    for (const auto& name : QueueFiles(".SENT"))
      for (int r = 0; r < kRecipients; ++r)
        sent.insert(name.substr(0, 11) + " u" + std::to_string(r) + "@example.org");
    return sent;
  };
  std::mt19937 random(20261208);
  int kills = 0;
  std::set<std::string> recorded;
  size_t checkedUpTo = 0;
  auto checkNoRecordedRepeats = [&] {
    auto deliveries = peer.Deliveries();
    for (size_t i = checkedUpTo; i < deliveries.size(); ++i)
      EXPECT_EQ(recorded.count(deliveries[i]), 0u)
          << deliveries[i] << " was recorded, yet repeated";
    checkedUpTo = deliveries.size();
  };
  for (int round = 0; round < 40 && !QueueFiles(".RCP").empty(); ++round) {
    StartDeliver();
    const size_t before = peer.Deliveries().size();
    // Kill once some deliveries went out, at a random moment.
    WaitUntil([&] { return peer.Deliveries().size() > before + 3 || QueueFiles(".RCP").empty(); },
              5000);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    if (QueueFiles(".RCP").empty()) break;
    deliverProc_->Signal(SIGKILL);
    deliverProc_->Wait(5000);
    ++kills;
    // The peer finishes what it had begun; then what is recorded is final.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    checkNoRecordedRepeats();
    for (const auto& r : recordedSent()) recorded.insert(r);
  }
  StopDeliver();
  // The rest without interruption.
  StartDeliver();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return QueueFiles(".RCP").empty() && QueueFiles(".DLV").empty() &&
               QueueFiles(".SENT").empty();
      },
      60000))
      << DeliverLog();
  StopDeliver();
  checkNoRecordedRepeats();

  std::map<std::string, int> count;
  for (const auto& d : peer.Deliveries()) ++count[d];
  EXPECT_EQ(count.size(), static_cast<size_t>(kPairs * kRecipients));
  int repeats = 0;
  for (const auto& [d, n] : count) repeats += n - 1;
  // Each kill may leave at most the replies of the one transaction in flight unrecorded.
  EXPECT_GE(kills, 10);
  EXPECT_LE(repeats, kills * kPerTransaction) << repeats << " repeats after " << kills << " kills";
  EXPECT_TRUE(QueueFiles(".MSG").empty());
  EXPECT_TRUE(QueueFiles(".DLV").empty());
  EXPECT_TRUE(QueueFiles(".SENT").empty());
}

}  // namespace
}  // namespace kestran::test
