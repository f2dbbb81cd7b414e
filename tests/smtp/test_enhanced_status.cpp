// Enhanced status codes: after EHLO every reply but 3xx and the EHLO reply itself
// carries a code of its class, followed by the same text the reply has after HELO.

#include "smtp/enhanced_status.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class EnhancedStatus : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetEsmtp(true);
    server_->SetLocalDomains({"corp.example"});
    server_->SetCheckUser(true);
    server_->SetLocalUsers({"u"});
    server_->SetMaxMessageSize(1000);
    server_->SetMaxLineLength(200);
    server_->SetMaxRecipients(2);
    server_->OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = failStore_ ? -1 : ++next_;
      handled = true;
    };
  }

  // Gives every reply the receiver has for a session's commands, greeted with EHLO or
  // HELO: one entry per reply line, the greeting's lines left out.
  std::vector<std::string> Walk(bool ehlo) {
    std::vector<std::string> got;
    auto c = Connect();
    if (ehlo) {
      c->SendLine("EHLO client.example");
      while (c->ReadLine()[3] == '-') {
      }
    } else {
      c->Cmd("HELO client.example");
    }
    auto cmd = [&](const std::string& line) { got.push_back(c->Cmd(line)); };
    cmd("HELO again.example");
    cmd("MAIL FROM:<a@x.example>");
    cmd("MAIL FROM:<a@x.example");
    cmd("MAIL FROM:<a@x.example> SIZE=x");
    cmd("MAIL FROM:<a@x.example> SIZE=5000");
    cmd("MAIL FROM:<a@x.example> NOTIFY=NEVER");
    cmd("MAIL FROM:<\xC3\xA4@x.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("MAIL FROM:<a@x.example>");
    cmd("RCPT TO:<u@corp.example");
    cmd("RCPT TO:<u@corp.example> NOTIFY=NEVER");
    cmd("RCPT TO:<nobody@corp.example>");
    cmd("RCPT TO:<v@far.example>");
    cmd("RCPT TO:<\xC3\xA4@corp.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("DATA");
    cmd("x\r\n.");
    cmd("DATA");
    cmd("MAIL FROM:<a@x.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("DATA");
    cmd(std::string(300, 'l') + "\r\n.");
    cmd("MAIL FROM:<a@x.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("DATA");
    std::string big;
    for (int i = 0; i < 20; ++i) big += std::string(60, 'b') + "\r\n";
    cmd(big + ".");
    cmd("MAIL FROM:<a@x.example>");
    cmd("RCPT TO:<u@corp.example>");
    cmd("BDAT 5\r\nabc");
    failStore_ = true;
    cmd("BDAT 0 LAST");
    failStore_ = false;
    cmd("BDAT 4 FIRST\r\nab");
    cmd("BDAT 0 LAST");
    for (const char* other :
         {"SEND FROM:<a@x.example>", "SOML FROM:<a@x.example>", "SAML FROM:<a@x.example>", "TURN",
          "HELP", "RSET", "VRFY u", "EXPN list", "NOOP", "STARTTLS", "WHAT now",
          "MAIL FROM:<a\x01@x.example>"})
      cmd(other);
    cmd(std::string(300, 'L'));
    cmd("QUIT");
    return got;
  }

  std::atomic<int32_t> next_{0};
  std::atomic<bool> failStore_{false};
};

// The reply without its code ("250 2.1.0 OK" -> "250 OK").
std::string WithoutCode(const std::string& reply) {
  if (!HasEnhancedStatusCode(reply)) return reply;
  const size_t blank = reply.find(' ', 4);
  return reply.substr(0, 4) + (blank == std::string::npos ? "" : reply.substr(blank + 1));
}

TEST_F(EnhancedStatus, EveryReplyAfterEhloCarriesACodeOfItsClass) {
  Start();
  const std::vector<std::string> coded = Walk(true);
  const std::vector<std::string> plain = Walk(false);
  ASSERT_EQ(coded.size(), plain.size());
  for (size_t i = 0; i < coded.size(); ++i) {
    const std::string& r = coded[i];
    if (r[0] == '3') {
      EXPECT_EQ(r, plain[i]);
      continue;
    }
    EXPECT_TRUE(HasEnhancedStatusCode(r)) << r;
    EXPECT_EQ(r[4], r[0]) << r;
    // The same text as without EHLO; only the UTF-8 refusal carries its code there as
    // well.
    EXPECT_EQ(WithoutCode(r), WithoutCode(plain[i])) << r;
    if (plain[i] != WithoutCode(plain[i])) {
      EXPECT_EQ(plain[i].rfind("553 5.6.7", 0), 0u) << plain[i];
    }
  }
  // The codes senders' tools read.
  for (const std::string& want : std::vector<std::string>{
           "250 2.1.0 OK <a@x.example>", "250 2.1.5 OK <u@corp.example>",
           "550 5.1.1 <nobody@corp.example>... user not valid",
           "550 5.7.1 <v@far.example>... Relaying denied", "452 4.5.3 Too many recipients",
           "552 5.3.4 Message exceeds the size limit", "503 5.5.1 No valid recipients specified",
           "501 5.5.4 Syntax error in parameters",
           "500 5.5.2 Syntax Error, Command Unrecognized WHAT now",
           "553 5.6.7 Non-ASCII address without SMTPUTF8", "250 2.0.0 Message received OK",
           "451 4.3.0 ERR Requested Action Aborted", "500 5.5.2 Line too long",
           "221 2.0.0 " + Host() + " closing"})
    EXPECT_NE(std::find(coded.begin(), coded.end(), want), coded.end()) << want;
}

TEST_F(EnhancedStatus, RefusalsBeforeAndAfterEhlo) {
  server_->SetLocalBlackList({*ParseNet("127.0.0.0/8")});
  server_->SetLocalBlackListNotice("listed");
  server_->SetReceiveTimeout(1);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("EHLO"), "501 5.5.4 Syntax: EHLO domain");
  EXPECT_EQ(c->Cmd("HELO"), "501 5.5.4 Syntax: EHLO domain");
  c->SendLine("EHLO client.example");
  EXPECT_EQ(c->ReadLine(), "250-OK client.example (unverified [127.0.0.1]), access restricted");
  while (c->ReadLine()[3] == '-') {
  }
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example>"), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "554 5.7.1 access denied, listed");
  EXPECT_EQ(c->Cmd("DATA"), "554 5.7.1 access denied, listed");
  EXPECT_EQ(c->ReadLine(), "421 4.4.2 " + Host() + " closing, idle too long");

  // Without extended SMTP the plain dialogue is unchanged, HELO without a name included.
  server_->SetEsmtp(false);
  auto d = Connect();
  EXPECT_EQ(d->Cmd("HELO"), "250 OK  (unverified [127.0.0.1]), access restricted");
  EXPECT_EQ(d->Cmd("EHLO x.example"), "500 Syntax Error, Command Unrecognized EHLO x.example");
  EXPECT_EQ(d->Cmd("RCPT TO:<u@corp.example>"), "554 access denied, listed");
}

TEST(EnhancedStatusTable, UnknownRepliesAndRepliesWithACode) {
  // A reply the table does not know still tells its class; one with a code keeps it.
  EXPECT_EQ(WithEnhancedStatusCode("XYZ", "450 later"), "450 4.0.0 later");
  EXPECT_EQ(WithEnhancedStatusCode("MAIL", "452 4.3.1 Insufficient system storage"),
            "452 4.3.1 Insufficient system storage");
  EXPECT_EQ(WithEnhancedStatusCode("DATA", "354 Ready for data"), "354 Ready for data");
  EXPECT_TRUE(HasEnhancedStatusCode("250 2.0.0"));
  EXPECT_FALSE(HasEnhancedStatusCode("250 2.0.0x"));
  EXPECT_FALSE(HasEnhancedStatusCode("250 OK 2.0.0"));
}

}  // namespace
}  // namespace kestran::testing_smtp
