// test-labels: threads
// What envelopes may hold: paths of at most 256 octets, and one budget of envelope
// memory for all sessions together, given back however a transaction ends, with the
// heap's free memory returned to the system once a burst is over.

#include <memory>
#include <thread>

#include "smtp/envelope_budget.h"
#include "smtp/smtp_msg.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

using namespace std::chrono_literals;

TEST(EnvelopeBudget, ChargesShareOneLimitToTheByte) {
  TEnvelopeBudget budget(1000);
  TEnvelopeCharge a, b;
  EXPECT_TRUE(a.Take(budget, 600));
  EXPECT_FALSE(b.Take(budget, 401));
  EXPECT_TRUE(b.Take(budget, 400));
  EXPECT_EQ(budget.InUse(), 1000u);
  budget.SetLimit(0);
  EXPECT_TRUE(a.Take(budget, uint64_t{1} << 40)) << "0 is no limit";
}

TEST(EnvelopeBudget, FreeMemoryIsReturnedWhenABurstIsOverNotUnderSteadyLoad) {
  TEnvelopeBudget budget;
  int releases = 0;
  budget.OnRelease = [&] { ++releases; };
  constexpr uint64_t kMiB = 1024 * 1024;
  std::vector<TEnvelopeCharge> sessions(64);
  for (auto& s : sessions) ASSERT_TRUE(s.Take(budget, kMiB));
  // Transactions ending and starting again at the same level: nothing to return.
  for (int round = 0; round < 1000; ++round) {
    TEnvelopeCharge& s = sessions[static_cast<size_t>(round) % sessions.size()];
    s.Release();
    ASSERT_TRUE(s.Take(budget, kMiB));
  }
  EXPECT_EQ(releases, 0);
  // The burst ends: memory goes back a few times on the way down, not per transaction.
  for (auto& s : sessions) s.Release();
  EXPECT_GE(releases, 1);
  EXPECT_LE(releases, 8);
  // Small transactions afterwards never pay for it.
  const int after = releases;
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(sessions[0].Take(budget, 300));
    sessions[0].Release();
  }
  EXPECT_EQ(releases, after);
}

TEST(EnvelopeBudget, ConcurrentChargesNeverPassTheLimit) {
  constexpr uint64_t kLimit = 64 * 1024;
  TEnvelopeBudget budget(kLimit);
  budget.OnRelease = nullptr;
  std::atomic<uint64_t> highest{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      TEnvelopeCharge charge;
      for (int i = 0; i < 20000; ++i) {
        if (!charge.Take(budget, 100 + static_cast<uint64_t>(t) * 37)) {
          ++refused;
          charge.Release();
        }
        uint64_t now = budget.InUse();
        uint64_t seen = highest.load();
        while (now > seen && !highest.compare_exchange_weak(seen, now)) {
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_LE(highest.load(), kLimit);
  EXPECT_GT(refused.load(), 0);
  EXPECT_EQ(budget.InUse(), 0u);
}

TEST(EnvelopeBudget, ATransactionsRecipientsAreFreedBeforeItsShareGoesBack) {
  // Giving the share back may return free memory to the system: by then the recipients
  // that held it must be free memory, whether RSET, DATA or the session's end gave it.
  TEnvelopeBudget budget;
  auto msg = std::make_unique<TSMTPMsg>();
  TSMTPMsg* raw = msg.get();
  std::vector<int> heldAtRelease;
  budget.OnRelease = [&] { heldAtRelease.push_back(raw->Recipients.Count()); };
  auto fill = [&] {
    for (int i = 0; i < 40; ++i) {
      tRecipientRec rec;
      rec.ToStr = "TO:<r" + std::to_string(i) + "@y.example> (" + std::string(64000, 'c') + ")";
      rec.Address = "r" + std::to_string(i) + "@y.example";
      ASSERT_TRUE(raw->Envelope.Take(budget, EnvelopeBytes(rec)));
      raw->Recipients.Add(rec);
    }
  };
  fill();
  raw->Reset(false);
  fill();
  msg.reset();
  EXPECT_EQ(heldAtRelease, (std::vector<int>{0, 0}));
  EXPECT_EQ(budget.InUse(), 0u);
}

class EnvelopeLimits : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetForwardMail(true);
    server_->EnvelopeBudget().OnRelease = nullptr;
  }
  // A recipient whose argument holds about 4 KB (a long comment: the path stays short).
  static std::string LongRcpt(int n) {
    return "RCPT TO:<r" + std::to_string(n) + "@y.example> (" + std::string(4000, 'c') + ")";
  }
  // Accepts recipients until the first 452; returns how many were taken.
  static int FillUp(RawClient& c, int from) {
    for (int n = from;; ++n) {
      std::string reply = c.Cmd(LongRcpt(n));
      if (reply == "452 Too many recipients") return n - from;
      if (reply.rfind("250 OK <r", 0) != 0) {
        ADD_FAILURE() << reply;
        return -1;
      }
    }
  }
  bool InUseFallsTo(uint64_t bytes) {
    for (int i = 0; i < 500; ++i) {
      if (server_->EnvelopeBudget().InUse() == bytes) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
};

TEST_F(EnvelopeLimits, PathsOfMoreThan256OctetsGetTheSyntaxErrorOfTheirCommand) {
  Start();
  auto c = Connect();
  // 254 characters between the brackets: a path of 256 octets.
  const std::string longest = std::string(241, 'l') + "@y.example.co";
  ASSERT_EQ(longest.size(), 254u);
  const std::string over = "m" + longest;
  EXPECT_EQ(c->Cmd("MAIL FROM:<" + longest + ">"), "250 OK <" + longest + ">");
  EXPECT_EQ(c->Cmd("MAIL FROM:<" + over + ">"), "501 Syntax Error in MAIL FROM:<" + over + ">");
  EXPECT_EQ(c->Cmd("RCPT TO:<" + longest + ">"), "250 OK <" + longest + ">");
  EXPECT_EQ(c->Cmd("RCPT TO:<" + over + ">"), "501 Syntax Error in RCPT TO:<" + over + ">");
  // A display name and a comment are not part of the path; a path without brackets
  // counts as if it had them.
  EXPECT_EQ(c->Cmd("RCPT TO:\"" + std::string(300, 'n') + "\" <" + longest + "> (note)"),
            "250 OK \"" + std::string(300, 'n') + "\" <" + longest + "> (note)");
  EXPECT_EQ(c->Cmd("RCPT TO:" + longest), "250 OK <" + longest + ">");
  EXPECT_EQ(c->Cmd("RCPT TO:" + over), "501 Syntax Error in RCPT TO:" + over);
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd("x\r\n."), "250 Message received OK");
  EXPECT_EQ(ReadFile(queue_ / "B0000000001.RCP"),
            "Message-ID: <B0000000001@" + Host() + ">\r\nReturn-path: " + longest +
                "\r\nRecipient: " + longest + "\r\nRecipient: " + longest +
                "\r\nRecipient: " + longest + "\r\n");
}

TEST_F(EnvelopeLimits, PathLimitWithExtendedSmtpWherePathsHaveParameters) {
  server_->SetEsmtp(true);
  Start();
  auto e = Connect();
  const std::string longest = std::string(241, 'l') + "@y.example.co";
  const std::string over = "m" + longest;
  // The reply echoes the whole argument, and no parameter is looked at before the path.
  for (const std::string params : {"BODY=8BITMIME", "AUTH=<>", "SIZE=99999999"})
    EXPECT_EQ(e->Cmd("MAIL FROM:<" + over + "> " + params),
              "501 Syntax Error in MAIL FROM:<" + over + "> " + params);
  EXPECT_EQ(e->Cmd("RCPT TO:<" + longest + ">"), "503 Need MAIL before RCPT");
  EXPECT_EQ(e->Cmd("MAIL FROM:<" + longest + "> BODY=8BITMIME"), "250 OK <" + longest + ">");
  EXPECT_EQ(e->Cmd("RCPT TO:<" + over + ">"), "501 Syntax Error in RCPT TO:<" + over + ">");
  EXPECT_EQ(e->Cmd("RCPT TO:<" + over + "> NOTIFY=NEVER"),
            "501 Syntax Error in RCPT TO:<" + over + "> NOTIFY=NEVER");
  EXPECT_EQ(e->Cmd("RCPT TO:<" + longest + ">"), "250 OK <" + longest + ">");
}

TEST_F(EnvelopeLimits, OneBudgetForAllSessionsGivenBackWhenATransactionEnds) {
  server_->SetMaxEnvelopeMemoryMB(1);
  Start();
  auto a = Connect();
  auto b = Connect();
  const int taken = FillUp(*a, 0);
  // About 1 MiB of 4 KB recipients; the limit of one transaction is not what stops them.
  EXPECT_GT(taken, 200);
  EXPECT_LT(taken, 260);
  EXPECT_EQ(b->Cmd(LongRcpt(9999)), "452 Too many recipients");

  // RSET gives A's share back.
  EXPECT_EQ(a->Cmd("RSET"), "250 OK Reset Completed");
  EXPECT_TRUE(InUseFallsTo(0));
  EXPECT_EQ(FillUp(*b, 0), taken);
  EXPECT_EQ(a->Cmd(LongRcpt(0)), "452 Too many recipients");
  // So does the end of DATA.
  EXPECT_EQ(b->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(b->Cmd("x\r\n."), "250 Message received OK");
  EXPECT_TRUE(InUseFallsTo(0));
  // And the end of a session that simply goes away in the middle of its transaction.
  EXPECT_EQ(FillUp(*a, 0), taken);
  a.reset();
  EXPECT_TRUE(InUseFallsTo(0));
  EXPECT_EQ(FillUp(*b, 0), taken);
  EXPECT_EQ(b->Cmd("QUIT"), "221 " + Host() + " closing");
  EXPECT_TRUE(InUseFallsTo(0));
}

}  // namespace
}  // namespace kestran::testing_smtp
