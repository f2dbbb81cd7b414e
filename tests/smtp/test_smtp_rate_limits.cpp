// The rate limits, the refused-recipient limit and the greeting pause over loopback, with
// the replies byte for byte, the inbound-log entries, the counters and the exemptions.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "smtp/metrics_text.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

class RateLimitTest : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    CaptureLog();
    server_->OnListenerEvent = [this](TEventSeverity, const std::string& text) {
      std::lock_guard<std::mutex> g(logLock_);
      events_.push_back(text);
    };
    server_->SetLocalDomains({"corp.example"});
    // A token a minute: a refused client is told to come back in 60 seconds.
    limits_.ConnectRatePerMinute = 1;
    limits_.MessageRatePerMinute = 1;
    limits_.RecipientRatePerMinute = 1;
  }
  void StartWith() {
    server_->SetRateLimits(limits_);
    Start();
  }
  static uint64_t Refused(TRateRefusal what) { return ReceiverMetrics().RateLimitRefused(what); }
  static uint64_t Would(TRateRefusal what) { return ReceiverMetrics().RateLimitWouldRefuse(what); }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(logLock_);
    return events_;
  }

  TRateLimitSettings limits_;
  std::vector<std::string> events_;
};

TEST_F(RateLimitTest, ConnectBurstPlusOneGetsOne421WithTheRetryHintAndIsClosed) {
  limits_.ConnectBurst = 3;
  StartWith();
  const uint64_t before = Refused(TRateRefusal::Connect);
  std::vector<std::unique_ptr<RawClient>> kept;
  for (int i = 0; i < 3; ++i) kept.push_back(Connect());
  RawClient fourth(port_);
  EXPECT_EQ(fourth.ReadLine(), Greeting());  // greeted first, as every refused client is
  EXPECT_EQ(fourth.ReadLine(),
            "421 " + Host() + " Too many connections from 127.0.0.1, try again in 60 seconds");
  EXPECT_EQ(fourth.ReadLine(), "<closed>");
  EXPECT_EQ(Refused(TRateRefusal::Connect) - before, 1u);
  // The sessions that were let in go on.
  EXPECT_THAT(kept[0]->Cmd("HELO client.example"), ::testing::StartsWith("250 OK"));

  ASSERT_EQ(Log().size(), 1u);
  EXPECT_THAT(Log()[0], EndsWith("] 127.0.0.1 421 " + Host() +
                                 " Too many connections from 127.0.0.1, try again in 60 seconds"));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0], "Rate limits since the last report: refused connect 1");
  EXPECT_THAT(FormatMetrics(ReceiverMetrics(), TMetricsGauges{}),
              HasSubstr("\nkestran_ratelimit_keys 1\n"));
}

TEST_F(RateLimitTest, ExemptClientsAreNeverRefusedNorKeptWaiting) {
  limits_.ConnectBurst = 1;
  limits_.MessageBurst = 1;
  limits_.RecipientBurst = 1;
  limits_.GreetPause = 1000;
  server_->LocalNets().push_back(*ParseNet("127.0.0.2/32"));
  server_->WhiteList().push_back(*ParseNet("127.0.0.3/32"));
  server_->RateLimitExempt().push_back(*ParseNet("127.0.0.4/32"));
  server_->SetDoPOPAuth(true);
  server_->OnPopAuth = [](const std::string& ip, bool& valid, bool& handled) {
    handled = true;
    valid = ip == "127.0.0.5";
  };
  StartWith();
  for (const std::string ip : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    for (int i = 0; i < 3; ++i) {
      // Talking at once costs nothing: there is no pause for them.
      RawClient c(port_, 2000, ip);
      c.SendLine("HELO friend.example");
      ASSERT_EQ(c.ReadLine(), Greeting()) << ip;
      EXPECT_THAT(c.ReadLine(), ::testing::StartsWith("250 OK friend.example")) << ip;
      for (int m = 0; m < 3; ++m) {
        EXPECT_THAT(c.Cmd("MAIL FROM:<a@b.example>"), ::testing::StartsWith("250 ")) << ip;
        EXPECT_THAT(c.Cmd("RCPT TO:<u@corp.example>"), ::testing::StartsWith("250 ")) << ip;
      }
    }
  }
  // A recent POP3 login lets the client in past the connection rate (it is not exempt
  // from the pause, so it waits for the greeting).
  for (int i = 0; i < 3; ++i) {
    RawClient c(port_, 10000, "127.0.0.5");
    EXPECT_EQ(c.ReadLine(), Greeting());
    EXPECT_THAT(c.Cmd("MAIL FROM:<a@b.example>"), ::testing::StartsWith("250 "));
  }
  EXPECT_TRUE(Log().empty());
}

TEST_F(RateLimitTest, LogOnlyRefusesNothingAndCountsWhatItWouldHave) {
  limits_.ConnectBurst = 1;
  limits_.MessageBurst = 1;
  limits_.LogOnly = true;
  StartWith();
  const uint64_t refused = Refused(TRateRefusal::Connect);
  const uint64_t would = Would(TRateRefusal::Connect);
  const uint64_t wouldMail = Would(TRateRefusal::Mail);
  for (int i = 0; i < 3; ++i) {
    auto c = Connect();
    EXPECT_THAT(c->Cmd("MAIL FROM:<a@b.example>"), ::testing::StartsWith("250 "));
  }
  EXPECT_EQ(Refused(TRateRefusal::Connect), refused);
  EXPECT_EQ(Would(TRateRefusal::Connect) - would, 2u);
  EXPECT_EQ(Would(TRateRefusal::Mail) - wouldMail, 2u);
  const auto log = Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_THAT(log[0], EndsWith("] 127.0.0.1 not refused (RateLimitLogOnly): 421 " + Host() +
                               " Too many connections from 127.0.0.1, try again in 60 seconds"));
  EXPECT_THAT(log[1], EndsWith("] 127.0.0.1 not refused (RateLimitLogOnly): 450 Too much mail "
                               "from 127.0.0.1, try again in 60 seconds"));
}

TEST_F(RateLimitTest, MailAndRcptRatesRefuseTheCommandAndKeepTheSession) {
  limits_.MessageBurst = 2;
  limits_.RecipientBurst = 2;
  StartWith();
  auto c = Connect();
  EXPECT_THAT(c->Cmd("MAIL FROM:<a@b.example>"), ::testing::StartsWith("250 "));
  EXPECT_THAT(c->Cmd("RCPT TO:<one@corp.example>"), ::testing::StartsWith("250 "));
  EXPECT_THAT(c->Cmd("RCPT TO:<two@corp.example>"), ::testing::StartsWith("250 "));
  EXPECT_EQ(c->Cmd("RCPT TO:<three@corp.example>"),
            "452 Too many recipients from 127.0.0.1, try again later");
  // The recipients already accepted stay: the message goes to them.
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd("Subject: x\r\n\r\nbody\r\n."), "250 Message received OK");
  EXPECT_THAT(c->Cmd("MAIL FROM:<a@b.example>"), ::testing::StartsWith("250 "));
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example>"),
            "450 Too much mail from 127.0.0.1, try again in 60 seconds");
  EXPECT_EQ(c->Cmd("NOOP"), "250 NOOP Performed");
  // A refused RCPT counts as well: the bucket stays empty.
  EXPECT_EQ(c->Cmd("RCPT TO:<four@corp.example>"),
            "452 Too many recipients from 127.0.0.1, try again later");
}

TEST_F(RateLimitTest, BadRecipientLimitClosesTheSession) {
  limits_.ConnectRatePerMinute = limits_.MessageRatePerMinute = 0;
  limits_.RecipientRatePerMinute = 0;
  limits_.BadRecipientLimit = 2;
  server_->SetCheckUser(true);
  server_->SetLocalUsers({"alice"});
  StartWith();
  const uint64_t before = Refused(TRateRefusal::BadRcpt);
  auto c = Connect();
  c->Cmd("MAIL FROM:<a@b.example>");
  EXPECT_THAT(c->Cmd("RCPT TO:<bob@corp.example>"), EndsWith("user not valid"));
  EXPECT_THAT(c->Cmd("RCPT TO:<alice@corp.example>"), ::testing::StartsWith("250 "));
  EXPECT_EQ(c->Cmd("RSET"), "250 OK Reset Completed");  // the count is the session's
  EXPECT_THAT(c->Cmd("RCPT TO:<x@elsewhere.example>"), EndsWith("Relaying denied"));
  EXPECT_EQ(c->Cmd("RCPT TO:<alice@corp.example>"),
            "421 " + Host() + " Too many invalid recipients");
  EXPECT_EQ(c->ReadLine(), "<closed>");
  EXPECT_EQ(Refused(TRateRefusal::BadRcpt) - before, 1u);
}

TEST_F(RateLimitTest, ClientThatTalksFirstIsClosedOneThatWaitsPassesAndIsRemembered) {
  limits_.ConnectRatePerMinute = limits_.MessageRatePerMinute = 0;
  limits_.RecipientRatePerMinute = 0;
  limits_.GreetPause = 300;
  StartWith();
  const uint64_t before = Refused(TRateRefusal::Pregreet);
  {
    RawClient bot(port_, 10000, "127.0.0.8");
    bot.SendLine("HELO bot.example");
    EXPECT_EQ(bot.ReadLine(), "554 " + Host() + " Protocol error: talked before the greeting");
    EXPECT_EQ(bot.ReadLine(), "<closed>");
  }
  EXPECT_EQ(Refused(TRateRefusal::Pregreet) - before, 1u);
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_THAT(Log()[0], EndsWith("] 127.0.0.8 554 " + Host() +
                                 " Protocol error: talked before the greeting"));
  {
    RawClient polite(port_, 10000, "127.0.0.9");
    EXPECT_EQ(polite.ReadLine(), Greeting());
    EXPECT_EQ(polite.Cmd("QUIT"), "221 " + Host() + " closing");
  }
  // Remembered: greeted at once, so what it sends first is simply its first command.
  RawClient again(port_, 10000, "127.0.0.9");
  again.SendLine("HELO mx.example");
  EXPECT_EQ(again.ReadLine(), Greeting());
  EXPECT_THAT(again.ReadLine(), ::testing::StartsWith("250 OK mx.example"));
  EXPECT_EQ(server_->GreetPasses().Keys(), 1u);
}

TEST_F(RateLimitTest, EachClientNamedByThePROXYHeaderHasItsOwnBucket) {
  limits_.ConnectBurst = 1;
  server_->ProxyNets().push_back(*ParseNet("127.0.0.1/32"));
  StartWith();
  const auto viaBalancer = [this](const std::string& client) {
    auto c = std::make_unique<RawClient>(port_);
    c->Send("PROXY TCP4 " + client + " 127.0.0.1 40000 25\r\n");
    return c;
  };
  auto a = viaBalancer("192.0.2.1");
  EXPECT_EQ(a->ReadLine(), Greeting());
  auto b = viaBalancer("192.0.2.2");
  EXPECT_EQ(b->ReadLine(), Greeting());
  auto again = viaBalancer("192.0.2.1");
  EXPECT_EQ(again->ReadLine(), Greeting());
  EXPECT_EQ(again->ReadLine(),
            "421 " + Host() + " Too many connections from 192.0.2.1, try again in 60 seconds");
}

}  // namespace
}  // namespace kestran::testing_smtp
