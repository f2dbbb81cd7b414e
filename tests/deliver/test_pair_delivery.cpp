// One pair from the queue to the next hop: the state recorded per recipient, retries on
// their schedule, expiry, notifications and where the pair ends (removed, "failed",
// "damaged").
// test-labels: threads

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <future>
#include <thread>

#include "deliver/queue_pair.h"
#include "deliver/queue_runner.h"
#include "deliver_fixture.h"
#include "scripted_peer.h"
#include "support/child_process.h"

namespace kestran {
namespace {

using test::LogCollector;
using test::ReadFileText;
using test::RecordingPeer;

const std::string kStem = "B0000000042";
const std::string kBody =
    "Date: Tue, 08 Dec 2026 02:00:00 +0000\r\nMessage-ID: <m1@client.test>\r\n"
    "Subject: hello\r\n\r\n..dotted\r\nbody\r\n";

class PairDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = dir_.path() + "q/";
    std::filesystem::create_directories(queue_);
    // A sendmail that keeps what it gets, for notifications.
    bounceScript_ = dir_.path() + "bounce-sendmail";
    ASSERT_TRUE(test::WriteFileText(bounceScript_, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " +
                                                       dir_.path() + "bounce-args\ncat > " +
                                                       dir_.path() + "bounce-msg\n"));
    ::chmod(bounceScript_.c_str(), 0755);
  }
  TDeliverContext Context(uint16_t port) {
    auto ctx = test::TestContext(queue_, "lmtp:[127.0.0.1]:" + std::to_string(port), log_, &clock_);
    ctx.bounce = ParseNextHop("sendmail:" + bounceScript_);
    ctx.maxAgeSeconds = 3600;
    return ctx;
  }
  bool Exists(const std::string& rel) const { return ::access((queue_ + rel).c_str(), F_OK) == 0; }
  TDeliveryState State() {
    TDeliveryState s;
    EXPECT_TRUE(LoadDeliveryState(queue_, kStem, s));
    return s;
  }

  test::ScratchDir dir_;
  std::string queue_;
  std::string bounceScript_;
  LogCollector log_;
  // The pairs' files are written now; the clock starts a little later.
  double clock_ = static_cast<double>(::time(nullptr)) + 0.5;
};

TEST_F(PairDeliveryTest, DeliveredPairLeavesTheQueueAndEachRecipientIsLogged) {
  RecordingPeer peer(true, {"PIPELINING"});
  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("alice@client.test", {"bob@x.test", "carol@x.test"}));
  auto ctx = Context(peer.port());
  auto transport = MakeTransport(ctx.transport, ctx.options);
  auto pass = DeliverPair(ctx, *transport, kStem, false);
  EXPECT_EQ(pass.outcome, TPairPass::Outcome::Delivered);
  EXPECT_FALSE(Exists(kStem + ".MSG"));
  EXPECT_FALSE(Exists(kStem + ".RCP"));
  // Both recipients in one transaction: the recipient file under its sent name is the
  // whole record (no state file was needed), and goes with the next sweep.
  EXPECT_TRUE(Exists(kStem + ".SENT"));
  EXPECT_FALSE(Exists(kStem + ".DLV"));
  TQueueRunner(ctx, 1).Sweep();
  EXPECT_FALSE(Exists(kStem + ".SENT"));
  auto msgs = peer.Messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].data + ".\r\n", test::QueueMessage(kBody));
  EXPECT_EQ(msgs[0].from, "alice@client.test");
  EXPECT_EQ(msgs[0].to, (std::vector<std::string>{"bob@x.test", "carol@x.test"}));
  EXPECT_EQ(peer.connections(), 1);
  auto mail = log_.Mail();
  ASSERT_EQ(mail.size(), 2u);
  EXPECT_EQ(mail[0],
            "B0000000042: to=<bob@x.test>, relay=lmtp:[127.0.0.1]:" + std::to_string(peer.port()) +
                ", delay=" + mail[0].substr(mail[0].find("delay=") + 6, 4) +
                ", tries=1, status=sent (250 2.0.0 <bob@x.test> Saved)");

  // Addresses whose quoted blanks the receiver kept without their quotes go out quoted.
  const std::string spaced = "B0000000043";
  test::WritePairFiles(queue_, spaced, test::QueueMessage(kBody),
                       test::QueueRecipients("al ice@client.test", {"john doe@x.test"}));
  EXPECT_EQ(DeliverPair(ctx, *transport, spaced, false).outcome, TPairPass::Outcome::Delivered);
  msgs = peer.Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[1].from, "\"al ice\"@client.test");
  EXPECT_EQ(msgs[1].to, std::vector<std::string>{"\"john doe\"@x.test"});
  EXPECT_NE(log_.Mail().back().find(": to=<\"john doe\"@x.test>, "), std::string::npos);
}

TEST_F(PairDeliveryTest, TemporaryFailuresWaitTheirTurnAndOnlyTheWaitingAreRetried) {
  std::atomic<bool> full{true};
  RecordingPeer peer(true, {"PIPELINING"}, nullptr, [&](const std::string& a) {
    return a == "carol@x.test" && full ? "452 4.2.2 <carol@x.test> Mailbox full" : "";
  });
  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("alice@client.test", {"bob@x.test", "carol@x.test"}));
  auto ctx = Context(peer.port());
  auto transport = MakeTransport(ctx.transport, ctx.options);
  auto pass = DeliverPair(ctx, *transport, kStem, false);
  ASSERT_EQ(pass.outcome, TPairPass::Outcome::Waiting);
  EXPECT_EQ(pass.nextDue, static_cast<int64_t>(clock_) + 60);
  auto s = State();
  EXPECT_EQ(s.recipients[0].state, TRecipientState::Sent);
  EXPECT_EQ(s.recipients[1].state, TRecipientState::Deferred);
  EXPECT_EQ(s.recipients[1].tries, 1u);
  EXPECT_EQ(s.recipients[1].reply, "452 4.2.2 <carol@x.test> Mailbox full");
  EXPECT_NE(log_.Mail()[1].find("status=deferred (452 4.2.2"), std::string::npos);

  // Not yet due: nothing happens.
  clock_ += 30;
  EXPECT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Waiting);
  EXPECT_EQ(peer.Messages().size(), 1u);
  // Due again, still full: the next wait is five minutes.
  clock_ += 31;
  pass = DeliverPair(ctx, *transport, kStem, false);
  EXPECT_EQ(pass.nextDue, static_cast<int64_t>(clock_) + 300);
  EXPECT_EQ(State().recipients[1].tries, 2u);
  // A flush does not wait; bob never gets it again.
  full = false;
  EXPECT_EQ(DeliverPair(ctx, *transport, kStem, true).outcome, TPairPass::Outcome::Delivered);
  auto msgs = peer.Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[1].to, std::vector<std::string>{"carol@x.test"});
  EXPECT_NE(log_.Mail().back().find("tries=3, status=sent"), std::string::npos);
  EXPECT_FALSE(Exists(kStem + ".RCP"));
}

// A flush reaches a pair that already waits in the ready list, and one that is being
// delivered as it comes: both are passed over forced, so a recipient whose own next try
// is later is tried all the same.
TEST_F(PairDeliveryTest, AFlushForcesPairsAlreadyReadyOrUnderWay) {
  std::atomic<bool> full{true};
  std::atomic<bool> holding{false};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  RecordingPeer peer(true, {"PIPELINING"}, nullptr, [&](const std::string& a) -> std::string {
    if (a == "dave@x.test") {
      holding = true;
      released.wait();
    }
    return a == "carol@x.test" && full ? "452 4.2.2 <carol@x.test> Mailbox full" : "";
  });
  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("alice@client.test", {"bob@x.test", "carol@x.test"}));
  auto ctx = Context(peer.port());
  {
    auto transport = MakeTransport(ctx.transport, ctx.options);
    ASSERT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Waiting);
  }
  full = false;
  // Carol waits a minute. The pair is in the ready list, unforced, when the request comes.
  {
    TQueueRunner runner(ctx, 1);
    runner.Add(kStem);
    ASSERT_TRUE(test::WriteFileText(queue_ + kFlushRequestName, ""));
    runner.Scan(false);
    EXPECT_FALSE(Exists(kFlushRequestName));
    runner.RunOnce(false);
  }
  EXPECT_FALSE(Exists(kStem + ".RCP"));
  ASSERT_EQ(peer.Messages().size(), 2u);
  EXPECT_EQ(peer.Messages()[1].to, std::vector<std::string>{"carol@x.test"});

  // Under way: dave's reply is held while the flush comes; erin, not due, follows forced.
  const std::string other = "B0000000043";
  ASSERT_TRUE(test::WriteFileText(queue_ + other + ".MSG", test::QueueMessage(kBody)));
  ASSERT_TRUE(test::WriteFileText(
      queue_ + other + ".RCP",
      test::QueueRecipients("alice@client.test", {"dave@x.test", "erin@x.test"})));
  struct stat st {};
  ASSERT_EQ(::stat((queue_ + other + ".RCP").c_str(), &st), 0);
  TDeliveryState waiting;
  waiting.queuedAt = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
  waiting.recipients.resize(2);
  waiting.recipients[0].address = "dave@x.test";
  waiting.recipients[1].address = "erin@x.test";
  waiting.recipients[1].state = TRecipientState::Deferred;
  waiting.recipients[1].tries = 1;
  waiting.recipients[1].nextTry = static_cast<int64_t>(clock_) + 3600;
  ASSERT_TRUE(test::WriteFileText(queue_ + other + ".DLV", FormatDeliveryState(waiting)));
  TQueueRunner runner(ctx, 1);
  runner.Start();
  runner.Add(other);
  for (int i = 0; i < 1000 && !holding; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(holding);
  runner.Scan(true);
  release.set_value();
  for (int i = 0; i < 1000 && (Exists(other + ".RCP") || !runner.Idle()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  runner.Stop();
  EXPECT_FALSE(Exists(other + ".RCP"));
  auto msgs = peer.Messages();
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_EQ(msgs[3].to, std::vector<std::string>{"erin@x.test"});
}

// A transaction whose replies cannot be written to the state file ends the pass there:
// the recipients after it are not tried until a pass that can record them, so a crash
// can repeat no more than that one transaction (one recipient each here).
TEST_F(PairDeliveryTest, AReplyThatCannotBeRecordedEndsThePass) {
  const std::string dlv = queue_ + kStem + ".DLV";
  RecordingPeer peer(true, {}, nullptr, [&](const std::string& a) -> std::string {
    if (a == "carol@x.test") {
      // The state file can no longer be replaced.
      ::unlink(dlv.c_str());
      ::mkdir(dlv.c_str(), 0700);
    }
    return "";
  });
  test::WritePairFiles(
      queue_, kStem, test::QueueMessage(kBody),
      test::QueueRecipients("alice@client.test", {"bob@x.test", "carol@x.test", "dave@x.test"}));
  auto ctx = Context(peer.port());
  ctx.recipientLimit = 1;
  auto transport = MakeTransport(ctx.transport, ctx.options);
  const auto pass = DeliverPair(ctx, *transport, kStem, false);
  EXPECT_EQ(pass.outcome, TPairPass::Outcome::Waiting);
  EXPECT_EQ(pass.nextDue, static_cast<int64_t>(clock_) + 60);
  const auto msgs = peer.Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[1].to, std::vector<std::string>{"carol@x.test"});
  EXPECT_TRUE(Exists(kStem + ".RCP"));
  EXPECT_TRUE(Exists(kStem + ".MSG"));
  ASSERT_FALSE(log_.Events().empty());
  EXPECT_EQ(log_.Events()[0].rfind("The delivery state of B0000000042 could not be stored: ", 0),
            0u)
      << log_.Events()[0];
  ::rmdir(dlv.c_str());
}

TEST_F(PairDeliveryTest, PermanentFailureAndExpiryNotifyTheSenderOnceAndMoveToFailed) {
  RecordingPeer peer(
      true, {"PIPELINING"},
      [](const std::string& a) {
        return a == "gone@x.test" ? "550 5.1.1 <gone@x.test> User unknown" : "";
      },
      [](const std::string& a) {
        return a == "slow@x.test" ? "451 4.3.0 <slow@x.test> Try later" : "";
      });
  test::WritePairFiles(
      queue_, kStem, test::QueueMessage(kBody),
      test::QueueRecipients("alice@client.test", {"bob@x.test", "gone@x.test", "slow@x.test"}));
  auto ctx = Context(peer.port());
  auto transport = MakeTransport(ctx.transport, ctx.options);
  ASSERT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Waiting);
  // The permanent failure is told at once, from the null sender to the Return-path.
  EXPECT_EQ(ReadFileText(dir_.path() + "bounce-args"), "-i\n-f\n<>\n--\nalice@client.test\n");
  const std::string first = ReadFileText(dir_.path() + "bounce-msg");
  EXPECT_NE(first.find("Final-Recipient: rfc822; gone@x.test\n"), std::string::npos) << first;
  EXPECT_NE(first.find("Status: 5.1.1\n"), std::string::npos);
  EXPECT_EQ(first.find("slow@x.test"), std::string::npos);
  EXPECT_TRUE(State().recipients[1].notified);
  ::unlink((dir_.path() + "bounce-msg").c_str());

  // Past the maximal age, the next temporary failure is final.
  clock_ += 3605;
  EXPECT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Failed);
  const std::string second = ReadFileText(dir_.path() + "bounce-msg");
  EXPECT_NE(second.find("Final-Recipient: rfc822; slow@x.test\n"), std::string::npos) << second;
  EXPECT_NE(second.find("Status: 4.3.0\n"), std::string::npos);
  EXPECT_EQ(second.find("gone@x.test"), std::string::npos);  // told once only
  EXPECT_NE(log_.Mail().back().find("sender non-delivery notification"), std::string::npos);
  // The pair and its state wait in "failed".
  for (const char* ext : {".MSG", ".RCP", ".DLV"}) {
    EXPECT_FALSE(Exists(kStem + ext));
    EXPECT_TRUE(Exists("failed/" + kStem + ext)) << ext;
  }
  TDeliveryState s;
  ASSERT_TRUE(LoadDeliveryState(queue_ + "failed/", kStem, s));
  EXPECT_EQ(s.done, TDeliveryState::Done::Failed);
  EXPECT_EQ(s.recipients[0].state, TRecipientState::Sent);
  EXPECT_EQ(s.recipients[2].state, TRecipientState::Bounced);
}

// A sender in a local domain gets its notification through the delivery transport; one
// elsewhere only through the notification transport, and without one nobody is told:
// the pair goes into "failed" with one line naming the recipients never notified, and
// the state file keeps them (for -QUEUE).
TEST_F(PairDeliveryTest, NotificationsGoToLocalSendersDirectlyAndNowhereWithoutARoute) {
  RecordingPeer peer(true, {}, [](const std::string& a) {
    return a.rfind("gone", 0) == 0 ? "550 5.1.1 unknown" : "";
  });
  auto ctx = Context(peer.port());
  ctx.bounce.reset();
  ctx.localDomains = {"Client.TEST"};
  auto transport = MakeTransport(ctx.transport, ctx.options);

  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("alice@client.test", {"gone@x.test"}));
  EXPECT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Failed);
  transport->Close();
  auto messages = peer.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].from, "");
  EXPECT_EQ(messages[0].to, std::vector<std::string>{"alice@client.test"});
  EXPECT_NE(messages[0].data.find("Final-Recipient: rfc822; gone@x.test"), std::string::npos);
  TDeliveryState told;
  ASSERT_TRUE(LoadDeliveryState(queue_ + "failed/", kStem, told));
  EXPECT_TRUE(told.recipients[0].notified);
  EXPECT_FALSE(told.recipients[0].neverNotified);
  EXPECT_FALSE(Exists("../bounce-msg"));

  const std::string other = "B0000000043";
  test::WritePairFiles(
      queue_, other, test::QueueMessage(kBody),
      test::QueueRecipients("mallory@forged.test", {"gone1@x.test", "bob@x.test", "gone2@x.test"}));
  EXPECT_EQ(DeliverPair(ctx, *transport, other, false).outcome, TPairPass::Outcome::Failed);
  transport->Close();
  EXPECT_EQ(peer.Messages().size(), 2u);  // the delivery to bob only, no notification
  TDeliveryState untold;
  ASSERT_TRUE(LoadDeliveryState(queue_ + "failed/", other, untold));
  EXPECT_TRUE(untold.recipients[0].neverNotified);
  EXPECT_FALSE(untold.recipients[1].neverNotified);
  EXPECT_TRUE(untold.recipients[2].neverNotified);
  // It survives being written again.
  TDeliveryState back;
  ASSERT_TRUE(ParseDeliveryState(FormatDeliveryState(untold), back));
  EXPECT_TRUE(back.recipients[2].neverNotified && back.recipients[2].notified);
  size_t lines = 0;
  for (const auto& e : log_.Events()) {
    if (e.find(other) == std::string::npos) continue;
    ++lines;
    EXPECT_EQ(e, other + " was moved into " + queue_ +
                     "failed; the notification to <mallory@forged.test> had no route (BounceTo "
                     "is not set and the sender is in no local domain); never notified: "
                     "<gone1@x.test>, <gone2@x.test>");
  }
  EXPECT_EQ(lines, 1u);
  EXPECT_FALSE(Exists("../bounce-msg"));

  // With a notification transport, a sender elsewhere is told through it.
  ctx.bounce = ParseNextHop("sendmail:" + bounceScript_);
  const std::string third = "B0000000044";
  test::WritePairFiles(queue_, third, test::QueueMessage(kBody),
                       test::QueueRecipients("carol@elsewhere.test", {"gone@x.test"}));
  EXPECT_EQ(DeliverPair(ctx, *transport, third, false).outcome, TPairPass::Outcome::Failed);
  EXPECT_EQ(ReadFileText(dir_.path() + "bounce-args"), "-i\n-f\n<>\n--\ncarol@elsewhere.test\n");
}

TEST_F(PairDeliveryTest, NoNotificationForTheNullSender) {
  RecordingPeer peer(true, {}, [](const std::string&) { return "550 5.1.1 unknown"; });
  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("<>", {"gone@x.test"}));
  auto ctx = Context(peer.port());
  auto transport = MakeTransport(ctx.transport, ctx.options);
  EXPECT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Failed);
  EXPECT_FALSE(Exists("../bounce-msg"));
  EXPECT_EQ(log_.Mail().back(), "B0000000042: no notification for the null sender");
  EXPECT_TRUE(Exists("failed/" + kStem + ".MSG"));
}

// A Return-path the client sent as more than one path (kept as it came when ESMTP is off)
// goes on as the null sender, and gets no notification.
TEST_F(PairDeliveryTest, AReturnPathThatIsNoSingleAddressIsTheNullSender) {
  RecordingPeer peer(true, {}, [](const std::string&) { return "550 5.1.1 unknown"; });
  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("<> AUTH=<>", {"gone@x.test"}));
  auto ctx = Context(peer.port());
  auto transport = MakeTransport(ctx.transport, ctx.options);
  EXPECT_EQ(DeliverPair(ctx, *transport, kStem, false).outcome, TPairPass::Outcome::Failed);
  transport->Close();
  EXPECT_FALSE(Exists("../bounce-msg"));
  EXPECT_EQ(log_.Mail().back(),
            "B0000000042: no notification: the Return-path <> AUTH=<> is not one address");
  const auto commands = peer.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "MAIL FROM:<>"), commands.end());
  EXPECT_TRUE(IsOnePath("bob@x.test"));
  EXPECT_TRUE(IsOnePath("<>"));
  EXPECT_TRUE(IsOnePath("john doe@x.test"));  // a quoted local part, kept unquoted
  EXPECT_FALSE(IsOnePath("<a@b.test> <c@d.test>"));
  EXPECT_FALSE(IsOnePath("a@b.test> AUTH=<c@d.test"));
}

// Recipients go in transactions of up to recipientLimit addresses; those a hop puts off
// at RCPT with 452 while it takes others are asked for again in a transaction of their
// own, in the same pass.
TEST_F(PairDeliveryTest, RecipientsTravelTogetherUpToTheLimit) {
  std::atomic<int> inTransaction{0};
  RecordingPeer peer(true, {"PIPELINING"}, [&](const std::string&) -> std::string {
    // At most three recipients per transaction, as some hops allow.
    return ++inTransaction > 3 ? "452 4.5.3 Too many recipients" : "";
  });
  std::vector<std::string> to;
  for (int i = 0; i < 7; ++i) to.push_back("u" + std::to_string(i) + "@x.test");
  test::WritePairFiles(queue_, kStem, test::QueueMessage(kBody),
                       test::QueueRecipients("alice@client.test", to));
  auto ctx = Context(peer.port());
  ctx.recipientLimit = 5;
  std::vector<size_t> sizes;
  auto transport = MakeTransport(ctx.transport, ctx.options);
  // The peer's count starts again with each transaction.
  struct Counting : TTransport {
    TTransport& inner;
    std::atomic<int>& count;
    std::vector<size_t>& sizes;
    Counting(TTransport& i, std::atomic<int>& c, std::vector<size_t>& s)
        : inner(i), count(c), sizes(s) {}
    void Send(TMessageToSend& message) override {
      count = 0;
      sizes.push_back(message.recipients.size());
      inner.Send(message);
    }
  } counting(*transport, inTransaction, sizes);
  EXPECT_EQ(DeliverPair(ctx, counting, kStem, false).outcome, TPairPass::Outcome::Delivered);
  // 5 asked (3 taken), the 2 put off again, then the last 2 of the limit's split.
  EXPECT_EQ(sizes, (std::vector<size_t>{5, 2, 2}));
  EXPECT_EQ(peer.Deliveries().size(), 7u);
  EXPECT_EQ(log_.Mail().size(), 7u);
  for (const auto& line : log_.Mail())
    EXPECT_NE(line.find("tries=1, status=sent"), std::string::npos) << line;
}

TEST_F(PairDeliveryTest, UnreadablePairsGoToDamagedAndNothingElseIsTouched) {
  RecordingPeer peer(true, {});
  auto ctx = Context(peer.port());
  auto transport = MakeTransport(ctx.transport, ctx.options);
  const std::string good = test::QueueRecipients("a@b.test", {"bob@x.test"});
  struct Case {
    const char* stem;
    std::string msg, rcp;
  };
  std::vector<Case> cases = {
      {"B0000000001", test::QueueMessage(kBody), "Message-ID: <x>\r\nRecipient: a@b\r\n"},
      {"B0000000002", test::QueueMessage(kBody), "Message-ID: <x>\r\nReturn-path: a@b\r\n"},
      {"B0000000003", "\x01\x02garbage", good},
      {"B0000000004", test::QueueMessage(kBody).substr(0, 40), good},  // cut off
  };
  for (const auto& c : cases) test::WritePairFiles(queue_, c.stem, c.msg, c.rcp);
  // A link where the message file should be, and a recipient file without a message.
  ASSERT_EQ(::symlink("/etc/passwd", (queue_ + "B0000000005.MSG").c_str()), 0);
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000005.RCP", good));
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000006.RCP", good));
  // A state file that does not belong to its pair.
  test::WritePairFiles(queue_, "B0000000007", test::QueueMessage(kBody), good);
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000007.DLV",
                                  "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 x@y z\n"));
  // A stale state file of an earlier pair of that number, done: it never decides for this
  // pair, which would otherwise be removed undelivered.
  test::WritePairFiles(queue_, "B0000000009", test::QueueMessage(kBody), good);
  ASSERT_TRUE(test::WriteFileText(
      queue_ + "B0000000009.DLV",
      "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 bob@x.test 250 ok\ndone delivered\n"));
  // The receiver's own files are never touched.
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000008.MSG", test::QueueMessage(kBody)));
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000008.0123456789abcdef.RC~", good));
  ASSERT_TRUE(test::WriteFileText(queue_ + "kestran-body-1.tmp", "x"));

  TQueueRunner runner(ctx, 1);
  runner.RunOnce(false);
  for (int n : {1, 2, 3, 4, 5, 6, 7, 9}) {
    const std::string stem = "B000000000" + std::to_string(n);
    EXPECT_FALSE(Exists(stem + ".RCP")) << stem;
    EXPECT_TRUE(Exists("damaged/" + stem + ".RCP")) << stem;
  }
  EXPECT_TRUE(Exists("damaged/B0000000007.DLV"));
  struct stat st {};
  ASSERT_EQ(::lstat((queue_ + "damaged/B0000000005.MSG").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));  // moved as a link, never followed
  EXPECT_TRUE(Exists("B0000000008.MSG"));
  EXPECT_TRUE(Exists("B0000000008.0123456789abcdef.RC~"));
  EXPECT_TRUE(Exists("kestran-body-1.tmp"));
  EXPECT_TRUE(peer.Messages().empty());
  EXPECT_TRUE(Exists("damaged/B0000000009.MSG"));
  EXPECT_EQ(log_.Events().size(), 8u);
  EXPECT_NE(log_.Events()[0].find("no Return-path line"), std::string::npos) << log_.Events()[0];
}

TEST_F(PairDeliveryTest, LeftoversOfAPassCutShortAreFinishedByTheirState) {
  RecordingPeer peer(true, {});
  auto ctx = Context(peer.port());
  // Delivered, the recipient file already removed: the rest goes.
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000001.MSG", test::QueueMessage(kBody)));
  ASSERT_TRUE(
      test::WriteFileText(queue_ + "B0000000001.DLV",
                          "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 a@b 250 ok\n"
                          "done delivered\n"));
  // Failed, cut short while moving: the rest follows into "failed".
  std::filesystem::create_directories(queue_ + "failed");
  ASSERT_TRUE(test::WriteFileText(queue_ + "failed/B0000000002.RCP", "x"));
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000002.MSG", test::QueueMessage(kBody)));
  ASSERT_TRUE(
      test::WriteFileText(queue_ + "B0000000002.DLV",
                          "kestran-deliver-state 1\nqueued 1\nrcpt bounced 1 0 0 1 a@b 550 no\n"
                          "done failed\n"));
  // A state file's temporary copy.
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000003.DLV.0123456789abcdef.tmp", "x"));
  // Delivered to its last recipient, the recipient file renamed: its state file, written
  // before that reply, still says the recipient waits, and is overruled.
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000004.MSG", test::QueueMessage(kBody)));
  ASSERT_TRUE(test::WriteFileText(queue_ + "B0000000004.SENT",
                                  test::QueueRecipients("alice@client.test", {"a@b", "c@d"})));
  ASSERT_TRUE(
      test::WriteFileText(queue_ + "B0000000004.DLV",
                          "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 a@b 250 ok\n"
                          "rcpt pending 0 0 0 0 c@d \n"));
  TQueueRunner runner(ctx, 1);
  runner.RemoveTemporaries();
  runner.RunOnce(false);
  // The message goes with the first sweep, the records with the pass's closing sweep.
  EXPECT_FALSE(Exists("B0000000004.MSG"));
  EXPECT_FALSE(Exists("B0000000004.SENT"));
  EXPECT_FALSE(Exists("B0000000004.DLV"));
  EXPECT_FALSE(Exists("damaged"));
  EXPECT_FALSE(Exists("B0000000001.MSG"));
  EXPECT_FALSE(Exists("B0000000001.DLV"));
  EXPECT_TRUE(Exists("failed/B0000000002.MSG"));
  EXPECT_TRUE(Exists("failed/B0000000002.DLV"));
  EXPECT_FALSE(Exists("B0000000003.DLV.0123456789abcdef.tmp"));
  EXPECT_TRUE(peer.Messages().empty());
}

}  // namespace
}  // namespace kestran
