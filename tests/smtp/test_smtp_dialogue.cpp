// The dialogue: greeting, the reply of every verb, sequencing, unsafe input and the idle
// time-out, checked byte for byte over a real connection.

#include <thread>

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

using Dialogue = SmtpTest;

TEST_F(Dialogue, EveryVerbAnswersWithItsExactReply) {
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("helo"), "250 OK  (unverified [127.0.0.1])");  // empty: repeatable
  EXPECT_EQ(c->Cmd("hElO client.example"), "250 OK client.example (unverified [127.0.0.1])");
  EXPECT_EQ(c->Cmd("HELO again.example"), "503 HELO Command is out of sequence");
  EXPECT_EQ(c->Cmd("EHLO client.example"),
            "500 Syntax Error, Command Unrecognized EHLO client.example");
  EXPECT_EQ(c->Cmd(" NOOP"), "500 Syntax Error, Command Unrecognized  NOOP");
  EXPECT_EQ(c->Cmd("noop"), "250 NOOP Performed");
  EXPECT_EQ(c->Cmd("MAIL FROM:<>"), "250 OK <>");
  EXPECT_EQ(c->Cmd("MAIL FROM: \"Sales Desk\" <desk@x.example> (office)"),
            "250 OK \"Sales Desk\" <desk@x.example> (office)");
  EXPECT_EQ(c->Cmd("MAIL FROM:<postmaster>"), "250 OK <postmaster>");
  EXPECT_EQ(c->Cmd("VRFY Anybody At All"), "250 OK Anybody At All");
  EXPECT_EQ(c->Cmd("EXPN staff"), "550 EXPN Access Denied");
  EXPECT_EQ(c->Cmd("HELP me"), "502 HELP no help available.");
  EXPECT_EQ(c->Cmd("SEND FROM:<a@b.example>"), "502 SEND messaging prohibited.");
  EXPECT_EQ(c->Cmd("SOML FROM:<a@b.example>"), "502 SOML messaging prohibited.");
  EXPECT_EQ(c->Cmd("SAML FROM:<a@b.example>"), "502 SAML messaging prohibited.");
  EXPECT_EQ(c->Cmd("TURN"), "502 TURN prohibited.");
  EXPECT_EQ(c->Cmd("RCPT TO:<nobody>"), "501 Syntax Error in RCPT TO:<nobody>");
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  EXPECT_EQ(c->Cmd("RSET"), "250 OK Reset Completed");
  // RSET keeps the session: HELO stays out of sequence.
  EXPECT_EQ(c->Cmd("HELO x"), "503 HELO Command is out of sequence");
  EXPECT_EQ(c->Cmd(""), "500 Syntax Error, Command Unrecognized ");
  EXPECT_EQ(c->Cmd("QUIT"), "221 " + Host() + " closing");
  EXPECT_EQ(c->ReadLine(), "<closed>");
}

TEST_F(Dialogue, RsetAfterRcptEmptiesTheRecipients) {
  server_->SetForwardMail(true);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("RCPT TO:<a@b.example>"), "250 OK <a@b.example>");
  EXPECT_EQ(c->Cmd("RSET"), "250 OK Reset Completed");
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  EXPECT_EQ(c->Cmd("NOOP"), "250 NOOP Performed");
}

TEST_F(Dialogue, HandlersReplaceTheBuiltInRepliesButQuitStillCloses) {
  std::vector<std::string> seen;
  server_->OnCommandVRFY = [&](TConduitServerThread* t, const std::string& name, bool& h) {
    t->Connection()->WriteLn("252 maybe " + name);
    h = true;
  };
  server_->OnCommandHELO = [&](TConduitServerThread* t, const std::string&, TSMTPMsg& msg,
                               bool& h) {
    t->Connection()->WriteLn("250 mine " + msg.SendingIP);
    h = true;
  };
  server_->OnCommandQUIT = [&](TConduitServerThread*, bool& h) { h = true; };
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("VRFY bob"), "252 maybe bob");
  EXPECT_EQ(c->Cmd("HELO a"), "250 mine 127.0.0.1");
  // The handler took HELO, so the session never recorded a name.
  EXPECT_EQ(c->Cmd("HELO a"), "250 mine 127.0.0.1");
  c->SendLine("QUIT");
  EXPECT_EQ(c->ReadLine(), "<closed>");
}

TEST_F(Dialogue, OnExecuteOnTheListenerReplacesTheSession) {
  std::atomic<int> calls{0};
  server_->OnExecute = [&](TConduitServerThread* t) {
    ++calls;
    t->Connection()->Disconnect();
  };
  Start();
  auto c = Connect();
  c->SendLine("NOOP");
  EXPECT_EQ(c->ReadLine(), "<closed>");
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(Dialogue, ControlCharactersInArgumentsAreRefusedAndChangeNothing) {
  server_->SetForwardMail(true);
  Start();
  auto c = Connect();
  const std::string refused = "501 Syntax error, control characters in argument";
  EXPECT_EQ(c->Cmd(std::string("HELO evil\0name", 14)), refused);
  EXPECT_EQ(c->Cmd("HELO evil\rRecipient: x@y"), refused);
  EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example>\nRecipient: x@y"), refused);
  EXPECT_EQ(c->Cmd(std::string("RCPT TO:<a\0@b.example>", 22)), refused);
  EXPECT_EQ(c->Cmd("RCPT TO:<a@b.example>\rx"), refused);
  // Every other control character and DEL as well: line readers split on some of them.
  for (char ctl : {'\t', '\v', '\f', '\x1c', '\x1d', '\x1e', '\x1b', '\x7f'}) {
    EXPECT_EQ(c->Cmd(std::string("HELO evil") + ctl + "name"), refused);
    EXPECT_EQ(c->Cmd(std::string("MAIL FROM:<a@b.example>") + ctl + "x"), refused);
    EXPECT_EQ(c->Cmd(std::string("RCPT TO:<a") + ctl + "@b.example>"), refused);
  }
  EXPECT_EQ(c->Cmd("RCPT TO:<a@b.example>\x7f"), refused);
  // Nothing was recorded: HELO is still open and there is no recipient.
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  EXPECT_EQ(c->Cmd("HELO ok.example"), "250 OK ok.example (unverified [127.0.0.1])");
  // Control characters at the ends are trimmed off with the blanks: the argument is clean.
  EXPECT_EQ(c->Cmd(std::string("MAIL FROM:<a@b.example>\0", 24)), "250 OK <a@b.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<a@b.example>\r"), "250 OK <a@b.example>");
}

TEST_F(Dialogue, UnicodeLineBreaksInArgumentsAreRefusedLikeControlCharacters) {
  server_->SetForwardMail(true);
  Start();
  auto c = Connect();
  const std::string refused = "501 Syntax error, control characters in argument";
  // NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR in UTF-8, also at the very end.
  for (const std::string brk : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
    EXPECT_EQ(c->Cmd("HELO evil" + brk + "name"), refused);
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.example>" + brk + "Recipient: x@y"), refused);
    EXPECT_EQ(c->Cmd("RCPT TO:<a" + brk + "@b.example>"), refused);
    EXPECT_EQ(c->Cmd("RCPT TO:<a@b.example>" + brk), refused);
  }
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  // Other characters of the same ranges pass: a no-break space, an ellipsis, and a lead
  // byte at the end of the argument.
  EXPECT_EQ(c->Cmd("HELO caf\xC2\xA0\xE2\x80\xA6.example"),
            "250 OK caf\xC2\xA0\xE2\x80\xA6.example (unverified [127.0.0.1])");
  EXPECT_EQ(c->Cmd("RCPT TO:<\xC3\xA9@b.example> (\xE2\x80)"),
            "250 OK <\xC3\xA9@b.example> (\xE2\x80)");
}

TEST_F(Dialogue, OverLongCommandLineIsRefusedAndTheSessionGoesOn) {
  server_->SetMaxLineLength(64);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("HELO " + std::string(200, 'a')), "500 Line too long");
  EXPECT_EQ(c->Cmd("NOOP"), "250 NOOP Performed");
  // Exactly the limit still counts as a command.
  EXPECT_EQ(c->Cmd("VRFY " + std::string(59, 'b')), "250 OK " + std::string(59, 'b'));
}

TEST_F(Dialogue, SilentClientIsToldAndDisconnected) {
  server_->SetReceiveTimeout(1);
  server_->SetForwardMail(true);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("NOOP"), "250 NOOP Performed");
  EXPECT_EQ(c->ReadLine(), "421 " + Host() + " closing, idle too long");
  EXPECT_EQ(c->ReadLine(), "<closed>");
  // A client that stops in the middle of a body is treated the same way.
  auto d = Connect();
  EXPECT_EQ(d->Cmd("RCPT TO:<a@b.example>"), "250 OK <a@b.example>");
  EXPECT_EQ(d->Cmd("DATA"), "354 Ready for data");
  d->SendLine("Subject: half");
  EXPECT_EQ(d->ReadLine(), "421 " + Host() + " closing, idle too long");
  EXPECT_TRUE(QueueFiles().empty());
}

TEST_F(Dialogue, DebugLogRecordsEveryReplyWithItsVerb) {
  server_->SetLogDebug(true);
  Start();
  {
    auto c = Connect();
    c->Cmd("HELO a.example");
    c->Cmd("TURN");
    c->Cmd("QUIT");
    EXPECT_EQ(c->ReadLine(), "<closed>");
  }
  // The session may still be writing its last line.
  std::string log;
  for (int i = 0; i < 100; ++i) {
    log = ReadFile(queue_ / "Smtp.Txt");
    if (log.find("QUIT says") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::vector<std::string> texts;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    // "mm/dd/yy hh:nn:ss " prefix
    ASSERT_GE(line.size(), 18u);
    EXPECT_EQ(line[2], '/');
    EXPECT_EQ(line[11], ':');
    texts.push_back(line.substr(18));
  }
  std::vector<std::string> expected = {
      "",
      "",
      "Connect says 220 " + Host() + " KESTRAN SMTP Receiver Service 0.45 Ready",
      "HELO says 250 OK a.example (unverified [127.0.0.1])",
      "TURN Says 502  prohibited.",
      "QUIT says 221 " + Host() + " closing"};
  EXPECT_EQ(texts, expected);
}

}  // namespace
}  // namespace kestran::testing_smtp
