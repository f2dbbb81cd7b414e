// Extended SMTP: the EHLO reply, MAIL and RCPT parameters, pipelined groups, and the
// Received header's protocol; the plain dialogue when it is off.

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class Esmtp : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetLocalDomains({"corp.example"});
    server_->SetMaxMessageSize(1000);
  }
  std::string Received(const std::string& id) {
    std::string msg = ReadFile(queue_ / (id + ".MSG"));
    return msg.substr(0, msg.find(";\r\n") + 1);
  }
  // Reads a multi-line reply up to its last line.
  static std::vector<std::string> ReadReply(RawClient& c) {
    std::vector<std::string> lines;
    do lines.push_back(c.ReadLine());
    while (lines.back().size() > 3 && lines.back()[3] == '-');
    return lines;
  }
};

TEST_F(Esmtp, OffEhloStartTlsAndParametersStayAsDocumented) {
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("EHLO client.example"),
            "500 Syntax Error, Command Unrecognized EHLO client.example");
  EXPECT_EQ(c->Cmd("STARTTLS"), "500 Syntax Error, Command Unrecognized STARTTLS");
  // No MAIL is needed before RCPT.
  EXPECT_EQ(c->Cmd("RCPT TO:<v@corp.example>"), "250 OK <v@corp.example>");
  EXPECT_EQ(c->Cmd("HELO client.example"), "250 OK client.example (unverified [127.0.0.1])");
  EXPECT_EQ(SendMessage(*c, "a@x.example", "u@corp.example", {"Subject: t", "", "x"}),
            "250 Message received OK");
  EXPECT_NE(Received("B0000000001").find(" with SMTP id <B0000000001@"), std::string::npos);
}

TEST_F(Esmtp, EhloRepliesWithTheKeywordsAndKeepsTheHeloSequence) {
  server_->SetEsmtp(true);
  Start();
  auto c = Connect();
  c->SendLine("EHLO client.example");
  EXPECT_EQ(ReadReply(*c),
            (std::vector<std::string>{"250-OK client.example (unverified [127.0.0.1])",
                                      "250-SIZE 1000", "250-8BITMIME", "250-PIPELINING",
                                      "250-CHUNKING", "250 ENHANCEDSTATUSCODES"}))
      << "no STARTTLS without a certificate";
  // EHLO may come again (it starts the session over); HELO keeps its sequence.
  c->SendLine("EHLO again.example");
  EXPECT_EQ(ReadReply(*c).front(), "250-OK again.example (unverified [127.0.0.1])");
  EXPECT_EQ(c->Cmd("HELO again.example"), "503 5.5.1 HELO Command is out of sequence");
  EXPECT_EQ(c->Cmd("STARTTLS"), "500 5.5.2 Syntax Error, Command Unrecognized STARTTLS");
  EXPECT_EQ(c->Cmd(std::string("EHLO a\0b", 8)),
            "501 5.5.4 Syntax error, control characters in argument");
  EXPECT_EQ(c->Cmd("EHLO a\xC2\x85"
                   "b"),
            "501 5.5.4 Syntax error, control characters in argument");

  server_->SetMaxMessageSize(0);
  auto d = Connect();
  d->SendLine("EHLO d.example");
  EXPECT_EQ(ReadReply(*d)[1], "250-SIZE");
}

TEST_F(Esmtp, MailAndRcptParameters) {
  server_->SetEsmtp(true);
  Start();
  auto c = Connect();
  c->SendLine("EHLO client.example");
  ReadReply(*c);
  EXPECT_EQ(c->Cmd("MAIL FROM:<big@x.example> SIZE=1001"),
            "552 5.3.4 Message size exceeds fixed maximum message size");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example> SMTPUTF8"),
            "555 5.5.4 MAIL FROM/RCPT TO parameters not recognized or not implemented");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example> BODY=BINARYMIME"),
            "555 5.5.4 MAIL FROM/RCPT TO parameters not recognized or not implemented");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example> SIZE=ten"), "501 5.5.4 Syntax error in parameters");
  EXPECT_EQ(c->Cmd("MAIL FROM:<p@x.example> (desk) size=1000 BODY=8bitmime"),
            "250 2.1.0 OK <p@x.example> (desk)");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example> NOTIFY=NEVER"),
            "555 5.5.4 MAIL FROM/RCPT TO parameters not recognized or not implemented");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd("Subject: 8bit \xE9\r\n\r\nbody\r\n."), "250 2.0.0 Message received OK");
  // Without angle brackets only KEYWORD=VALUE words are parameters.
  EXPECT_EQ(c->Cmd("MAIL FROM:q@x.example BODY=7BIT"), "250 2.1.0 OK <q@x.example>");

  std::string rcp = ReadFile(queue_ / "B0000000001.RCP");
  EXPECT_NE(rcp.find("Return-path: p@x.example\r\n"), std::string::npos) << rcp;
  EXPECT_NE(Received("B0000000001").find(" with ESMTP id <B0000000001@"), std::string::npos);
}

TEST_F(Esmtp, ThePathEndsAtTheBracketThatClosesIt) {
  server_->SetEsmtp(true);
  Start();
  auto c = Connect();
  c->SendLine("EHLO client.example");
  ReadReply(*c);
  const std::string unrecognised =
      "555 5.5.4 MAIL FROM/RCPT TO parameters not recognized or not implemented";
  // What follows the path is a parameter, never part of the address: AUTH is not
  // offered, and a bounce's null sender never becomes "<> AUTH=<>".
  EXPECT_EQ(c->Cmd("MAIL FROM:<> AUTH=<>"), unrecognised);
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example> SIZE=999999 AUTH=<>"),
            "552 5.3.4 Message size exceeds fixed maximum message size");
  EXPECT_EQ(c->Cmd("MAIL FROM:<\"a>b\"@x.example> SIZE=5000"),
            "552 5.3.4 Message size exceeds fixed maximum message size")
      << "a \">\" inside quotes does not end the path";
  // An unclosed comment does not hide the parameters after it.
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example> (note SIZE=5000"),
            "501 5.5.4 Syntax error in parameters");
  // Without angle brackets the path is one word.
  EXPECT_EQ(c->Cmd("MAIL FROM:a@b.example SMTPUTF8"), unrecognised);
  EXPECT_EQ(c->Cmd("MAIL FROM: a@b.example SIZE=5000"),
            "552 5.3.4 Message size exceeds fixed maximum message size");
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example"), "501 5.5.4 Syntax Error in MAIL FROM:<a@b.example");
  EXPECT_EQ(c->Cmd("MAIL FROM:"), "501 5.5.4 Syntax Error in MAIL FROM:");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example> (x"), "503 5.5.1 Need MAIL before RCPT");

  EXPECT_EQ(c->Cmd("MAIL FROM:<> SIZE=10"), "250 2.1.0 OK <>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example> (x"), "501 5.5.4 Syntax error in parameters");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example"), "501 5.5.4 Syntax Error in RCPT TO:<u@corp.example");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example> (desk)"), "250 2.1.5 OK <u@corp.example> (desk)");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd("Subject: bounce\r\n\r\nx\r\n."), "250 2.0.0 Message received OK");
  EXPECT_NE(ReadFile(queue_ / "B0000000001.RCP").find("\r\nReturn-path: <>\r\n"),
            std::string::npos);
}

TEST_F(Esmtp, RcptAndDataNeedAnAcceptedMail) {
  server_->SetEsmtp(true);
  Start();
  const std::string need = "503 5.5.1 Need MAIL before RCPT";
  auto c = Connect();
  c->SendLine("EHLO client.example");
  ReadReply(*c);
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), need);
  EXPECT_EQ(c->Cmd("DATA"), need);
  // A refused MAIL leaves no sender behind, nor an earlier transaction.
  for (const std::string refused :
       {"MAIL FROM:<a@x.example> SIZE=1001", "MAIL FROM:<a@x.example> BODY=BINARYMIME",
        "MAIL FROM:<a@x.example> SIZE=ten"}) {
    EXPECT_EQ(c->Cmd("MAIL FROM:<ok@x.example>"), "250 2.1.0 OK <ok@x.example>");
    EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
    EXPECT_NE(c->Cmd(refused).substr(0, 1), "2") << refused;
    EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), need) << refused;
    EXPECT_EQ(c->Cmd("DATA"), need) << refused;
  }
  EXPECT_EQ(c->Cmd("MAIL FROM:<ok@x.example>"), "250 2.1.0 OK <ok@x.example>");
  EXPECT_EQ(c->Cmd("RSET"), "250 2.0.0 OK Reset Completed");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), need);
  // A second MAIL starts a new transaction: only its own recipients go with it.
  EXPECT_EQ(c->Cmd("MAIL FROM:<one@x.example>"), "250 2.1.0 OK <one@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<first@corp.example>"), "250 2.1.5 OK <first@corp.example>");
  EXPECT_EQ(c->Cmd("MAIL FROM:<two@x.example>"), "250 2.1.0 OK <two@x.example>");
  EXPECT_EQ(c->Cmd("DATA"), "503 5.5.1 No valid recipients specified");
  EXPECT_EQ(c->Cmd("RCPT TO:<second@corp.example>"), "250 2.1.5 OK <second@corp.example>");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd("x\r\n."), "250 2.0.0 Message received OK");
  EXPECT_EQ(ReadFile(queue_ / "B0000000001.RCP"),
            "Message-ID: <B0000000001@" + Host() +
                ">\r\nReturn-path: two@x.example\r\nRecipient: second@corp.example\r\n");
  // The transaction ended with DATA.
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), need);
}

TEST_F(Esmtp, EhloAgainStartsTheSessionOver) {
  server_->SetEsmtp(true);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("HELO plain.example"), "250 OK plain.example (unverified [127.0.0.1])");
  // After HELO the replies carry no enhanced status codes.
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example>"), "250 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 OK <u@corp.example>");
  c->SendLine("EHLO second.example");
  EXPECT_EQ(ReadReply(*c).size(), 6u);
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "503 5.5.1 Need MAIL before RCPT");
  EXPECT_EQ(c->Cmd("DATA"), "503 5.5.1 Need MAIL before RCPT");
  EXPECT_EQ(SendMessage(*c, "b@x.example", "u@corp.example", {"x"}),
            "250 2.0.0 Message received OK");
  EXPECT_EQ(Received("B0000000001").find("Received: from second.example (unverified"), 0u);
  EXPECT_NE(Received("B0000000001").find(" with ESMTP id"), std::string::npos);
}

TEST_F(Esmtp, SizeCountsTheMessageWithoutTheDotsAddedForTransparency) {
  server_->SetEsmtp(true);
  Start();
  auto c = Connect();
  c->SendLine("EHLO client.example");
  ReadReply(*c);
  // 25 lines of 38 characters that each start with a dot: 1000 bytes as SIZE counts
  // them, 1025 on the wire.
  std::string line = "." + std::string(37, 'x');
  std::string exact;
  for (int i = 0; i < 25; ++i) exact += "." + line + "\r\n";
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example> SIZE=1000"), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd(exact + "."), "250 2.0.0 Message received OK");
  // Stored as received, the dots included.
  std::string msg = ReadFile(queue_ / "B0000000001.MSG");
  EXPECT_EQ(msg.substr(msg.size() - exact.size() - 3), exact + ".\r\n");
  // One byte more is too big.
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example>"), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  EXPECT_EQ(c->Cmd(exact + "y\r\n."), "552 5.3.4 Message exceeds the size limit");
}

TEST_F(Esmtp, PipelinedGroupGetsEveryReplyInOrder) {
  server_->SetEsmtp(true);
  Start();
  auto c = Connect();
  c->Send(
      "EHLO p.example\r\nMAIL FROM:<a@x.example>\r\nRCPT TO:<u@corp.example>\r\n"
      "RCPT TO:<v@far.example>\r\nRCPT TO:<w@corp.example>\r\nDATA\r\n");
  EXPECT_EQ(ReadReply(*c).size(), 6u);
  EXPECT_EQ(c->ReadLine(), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->ReadLine(), "250 2.1.5 OK <u@corp.example>");
  EXPECT_EQ(c->ReadLine(), "550 5.7.1 <v@far.example>... Relaying denied");
  EXPECT_EQ(c->ReadLine(), "250 2.1.5 OK <w@corp.example>");
  EXPECT_EQ(c->ReadLine(), "354 Ready for data");
  c->Send("x\r\n.\r\nRSET\r\nNOOP\r\nQUIT\r\n");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 Message received OK");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 OK Reset Completed");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 NOOP Performed");
  EXPECT_EQ(c->ReadLine(), "221 2.0.0 " + Host() + " closing");
  EXPECT_EQ(c->ReadLine(), "<closed>");
}

TEST_F(Esmtp, AMailLoopIsRefusedPastMaxHopsWithDataAndBdat) {
  server_->SetEsmtp(true);
  server_->SetMaxMessageSize(0);
  server_->SetMaxHops(50);
  Start();
  auto hops = [](int n) {
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) lines.push_back("Received: from hop" + std::to_string(i));
    lines.push_back("Received-SPF: pass");
    lines.push_back("");
    lines.push_back("Received: in the body does not count");
    return lines;
  };
  auto c = Connect();
  c->SendLine("EHLO client.example");
  ReadReply(*c);
  EXPECT_EQ(SendMessage(*c, "a@x.example", "u@corp.example", hops(51)), "554 5.4.6 Too many hops");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "503 5.5.1 Need MAIL before RCPT");
  EXPECT_EQ(SendMessage(*c, "a@x.example", "u@corp.example", hops(50)),
            "250 2.0.0 Message received OK");
  std::string body;
  for (const auto& l : hops(51)) body += l + "\r\n";
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@x.example>"), "250 2.1.0 OK <a@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  c->SendLine("BDAT " + std::to_string(body.size()) + " LAST");
  c->Send(body);
  EXPECT_EQ(c->ReadLine(), "554 5.4.6 Too many hops");
  // Without extended SMTP the reply carries no code; with no limit nothing is refused.
  server_->SetEsmtp(false);
  auto d = Connect();
  EXPECT_EQ(SendMessage(*d, "a@x.example", "u@corp.example", hops(51)), "554 Too many hops");
  server_->SetMaxHops(0);
  auto e = Connect();
  EXPECT_EQ(SendMessage(*e, "a@x.example", "u@corp.example", hops(200)), "250 Message received OK");
  EXPECT_EQ(QueueFiles().size(), 4u);
}

}  // namespace
}  // namespace kestran::testing_smtp
