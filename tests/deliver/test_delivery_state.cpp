// The state file beside each pair, the envelope of a recipient file, the retry steps
// and the transport names.

#include <gtest/gtest.h>

#include "deliver/delivery_state.h"
#include "deliver/next_hop.h"
#include "deliver/queue_pair.h"

namespace kestran {
namespace {

TEST(DeliveryState, RoundTripsEveryFieldAndRefusesDamage) {
  TDeliveryState s;
  s.queuedAt = 1765200000.125;
  TRecipientProgress a;
  a.state = TRecipientState::Sent;
  a.tries = 1;
  a.lastTry = 1765200003;
  a.address = "bob@example.org";
  a.reply = "250 2.0.0 <bob@example.org> Saved\r\n  second line";
  TRecipientProgress b;
  b.state = TRecipientState::Bounced;
  b.tries = 3;
  b.nextTry = 1765200363;
  b.notified = true;
  b.address = "carol@example.org";
  b.reply = "550 5.1.1 no";
  s.recipients = {a, b};
  s.done = TDeliveryState::Done::Failed;
  const std::string text = FormatDeliveryState(s);
  EXPECT_EQ(text,
            "kestran-deliver-state 1\nqueued 1765200000.125\n"
            "rcpt sent 1 0 1765200003 0 bob@example.org 250 2.0.0 <bob@example.org> Saved "
            "second line\n"
            "rcpt bounced 3 1765200363 0 1 carol@example.org 550 5.1.1 no\ndone failed\n");
  TDeliveryState back;
  ASSERT_TRUE(ParseDeliveryState(text, back));
  ASSERT_EQ(back.recipients.size(), 2u);
  EXPECT_DOUBLE_EQ(back.queuedAt, 1765200000.125);
  EXPECT_EQ(back.recipients[0].state, TRecipientState::Sent);
  EXPECT_EQ(back.recipients[0].reply, "250 2.0.0 <bob@example.org> Saved second line");
  EXPECT_EQ(back.recipients[1].nextTry, 1765200363);
  EXPECT_TRUE(back.recipients[1].notified);
  EXPECT_EQ(back.done, TDeliveryState::Done::Failed);
  EXPECT_EQ(FormatDeliveryState(back), text);

  // An address with a blank (quoted by its sender), a tab or a backslash stays one word.
  s.recipients[1].address = "carol smith\t\\x@example.org";
  const std::string spaced = FormatDeliveryState(s);
  EXPECT_NE(spaced.find(" 1 carol\\040smith\\011\\134x@example.org 550 5.1.1 no\n"),
            std::string::npos)
      << spaced;
  ASSERT_TRUE(ParseDeliveryState(spaced, back));
  EXPECT_EQ(back.recipients[1].address, "carol smith\t\\x@example.org");
  EXPECT_EQ(back.recipients[1].reply, "550 5.1.1 no");

  for (const std::string bad :
       {"", "kestran-deliver-state 2\nqueued 1\nrcpt sent 1 0 0 0 a@b x\n",
        "kestran-deliver-state 1\nrcpt sent 1 0 0 0 a@b x\n",          // no queued
        "kestran-deliver-state 1\nqueued 1\n",                         // no recipient
        "kestran-deliver-state 1\nqueued 1\nrcpt lost 1 0 0 0 a@b\n",  // unknown state
        "kestran-deliver-state 1\nqueued 1\nrcpt sent x 0 0 0 a@b\n",
        "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 a@b\ndone maybe\n",
        "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 a@b\ngarbage\n",
        "kestran-deliver-state 1\nqueued 1\nrcpt sent 1 0 0 0 a\\04@b\n"})  // a cut escape
    EXPECT_FALSE(ParseDeliveryState(bad, back)) << bad;
}

TEST(DeliveryState, RetriesBackOffThenHourly) {
  EXPECT_EQ(RetryDelaySeconds(1), 60);
  EXPECT_EQ(RetryDelaySeconds(2), 300);
  EXPECT_EQ(RetryDelaySeconds(3), 900);
  EXPECT_EQ(RetryDelaySeconds(4), 1800);
  EXPECT_EQ(RetryDelaySeconds(5), 3600);
  EXPECT_EQ(RetryDelaySeconds(500), 3600);
}

TEST(QueuePair, RecipientFilesParseOrAreRefusedWithAReason) {
  TQueuedPair p;
  std::string why;
  ASSERT_TRUE(ParseRecipientFile(
      "Message-ID: <B1@h>\r\nReturn-path: alice@example.com\r\nRecipient: bob@example.org\r\n"
      "Recipient: bob@example.org\r\n",
      p, why));
  EXPECT_EQ(p.returnPath, "alice@example.com");
  EXPECT_EQ(p.recipients.size(), 2u);  // a recipient given twice stays twice
  ASSERT_TRUE(
      ParseRecipientFile("Message-ID: <B1@h>\r\nReturn-path: \r\nRecipient: a@b\r\n", p, why));
  EXPECT_EQ(SenderAddress(p.returnPath), "");
  EXPECT_EQ(SenderAddress("<>"), "");
  EXPECT_EQ(SenderAddress(" <x@y> "), "x@y");

  EXPECT_FALSE(ParseRecipientFile("Message-ID: <B1@h>\r\nRecipient: a@b\r\n", p, why));
  EXPECT_EQ(why, "no Return-path line");
  EXPECT_FALSE(ParseRecipientFile("Message-ID: <B1@h>\r\nReturn-path: a@b\r\n", p, why));
  EXPECT_EQ(why, "no recipient");
  EXPECT_FALSE(ParseRecipientFile("Return-path: a@b\r\nRecipient: a@b\r\nX\r\n", p, why));
  // A blank inside an address stood between quotes, which the receiver does not keep;
  // one at either end did not.
  ASSERT_TRUE(ParseRecipientFile("Return-path: a@b\r\nRecipient: a b@c\r\n", p, why));
  EXPECT_EQ(p.recipients, std::vector<std::string>{"a b@c"});
  EXPECT_EQ(NextHopAddress("john doe@example.org"), "\"john doe\"@example.org");
  EXPECT_EQ(NextHopAddress("a\tb\\c\"@x"), "\"a\tb\\\\c\\\"\"@x");
  EXPECT_EQ(NextHopAddress("bob@example.org"), "bob@example.org");
  EXPECT_EQ(NextHopAddress(""), "");
  EXPECT_FALSE(ParseRecipientFile("Return-path: a@b\r\nRecipient:  a@c\r\n", p, why));
  EXPECT_FALSE(ParseRecipientFile("Return-path: a@b\r\nRecipient: a@c \r\n", p, why));
  EXPECT_FALSE(ParseRecipientFile("Return-path: a@b\r\nRecipient: <a@c>\r\n", p, why));
  EXPECT_FALSE(
      ParseRecipientFile(std::string("Return-path: a@b\r\nRecipient: a@c\0\r\n", 35), p, why));

  EXPECT_EQ(PairStem("B0000000042.RCP", ".RCP"), "B0000000042");
  EXPECT_EQ(PairStem("B0000000042.1234567890abcdef.RC~", ".RCP"), "");
  EXPECT_EQ(PairStem("B000000004x.RCP", ".RCP"), "");
  EXPECT_EQ(PairStem("b0000000042.RCP", ".RCP"), "");
}

TEST(NextHop, NamesParseAndShowInTheLog) {
  auto a = ParseNextHop(" lmtp:unix:/run/dovecot/lmtp ");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->RelayName(), "lmtp:/run/dovecot/lmtp");
  auto b = ParseNextHop("smtp:[127.0.0.1]:10025");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->kind, TNextHop::Kind::Smtp);
  EXPECT_EQ(b->port, 10025);
  EXPECT_EQ(ParseNextHop("lmtp:[mail.example]:24")->RelayName(), "lmtp:[mail.example]:24");
  EXPECT_EQ(ParseNextHop("sendmail:/usr/sbin/sendmail")->path, "/usr/sbin/sendmail");
  for (const char* bad :
       {"", "lmtp:unix:", "lmtp:unix:relative", "smtp:host:25", "smtp:[h]:0", "smtp:[h]:65536",
        "smtp:[]:25", "smtp:[h]:25x", "sendmail:", "pop3:[h]:1"})
    EXPECT_FALSE(ParseNextHop(bad)) << bad;
}

}  // namespace
}  // namespace kestran
