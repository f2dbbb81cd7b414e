// BDAT (CHUNKING): chunks of a declared size, read without looking for line ends or dots,
// queued in the same form a DATA transfer leaves; its sequence, size limit and syntax.

#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class Bdat : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetEsmtp(true);
    server_->SetLocalDomains({"corp.example"});
    server_->OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = ++next_;
      handled = true;
    };
  }
  std::unique_ptr<RawClient> Ehlo() {
    auto c = Connect();
    c->SendLine("EHLO client.example");
    while (true) {
      std::string l = c->ReadLine();
      if (l.size() < 4 || l[3] != '-') break;
    }
    return c;
  }
  static std::string Id(int n) {
    std::string d = std::to_string(n);
    return "B" + std::string(10 - d.size(), '0') + d;
  }
  // The queued message after the trace header (which ends with the Message-ID line).
  std::string Queued(int n) {
    std::string text = ReadFile(queue_ / (Id(n) + ".MSG"));
    const size_t at = text.find("Message-ID: <" + Id(n) + "@");
    if (at == std::string::npos) return "<no trace header> " + text;
    return text.substr(text.find("\r\n", at) + 2);
  }
  // Sends message with DATA, stuffed as a client does; returns the final reply.
  std::string ViaData(RawClient& c, const std::string& message) {
    c.SendLine("MAIL FROM:<s@x.example>");
    c.SendLine("RCPT TO:<u@corp.example>");
    c.SendLine("DATA");
    c.ReadLine();
    c.ReadLine();
    if (c.ReadLine() != "354 Ready for data") return "no 354";
    std::string stuffed;
    for (size_t i = 0; i < message.size();) {
      if (message[i] == '.') stuffed += '.';
      size_t e = message.find("\r\n", i);
      e = e == std::string::npos ? message.size() : e + 2;
      stuffed += message.substr(i, e - i);
      i = e;
    }
    c.Send(stuffed + ".\r\n");
    return c.ReadLine();
  }
  static std::string Chunk(const std::string& octets, bool last = false) {
    return "BDAT " + std::to_string(octets.size()) + (last ? " LAST" : "") + "\r\n" + octets;
  }
  std::atomic<int32_t> next_{0};
};

TEST_F(Bdat, PipelinedChunksAreQueuedAsDataLeavesTheSameMessage) {
  Start();
  auto c = Ehlo();
  const std::string message = "Subject: chunks\r\n\r\n.\r\n..two\r\nend\r\n";
  // Everything in one write, the chunk's own "BDAT"-looking octets included.
  c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n" + Chunk(message.substr(0, 12)) +
          Chunk(message.substr(12) + "BDAT 0 LAST\r\n") + "BDAT 0 LAST\r\nNOOP\r\n");
  EXPECT_EQ(c->ReadLine(), "250 2.1.0 OK <s@x.example>");
  EXPECT_EQ(c->ReadLine(), "250 2.1.5 OK <u@corp.example>");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 12 octets received");
  EXPECT_EQ(c->ReadLine(),
            "250 2.0.0 " + std::to_string(message.size() - 12 + 13) + " octets received");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 Message received OK");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 NOOP Performed");
  EXPECT_EQ(ViaData(*c, message + "BDAT 0 LAST\r\n"), "250 2.0.0 Message received OK");
  EXPECT_EQ(Queued(1), Queued(2));
  EXPECT_EQ(Queued(1), "Subject: chunks\r\n\r\n..\r\n...two\r\nend\r\nBDAT 0 LAST\r\n.\r\n");
  EXPECT_NE(ReadFile(queue_ / (Id(1) + ".MSG")).find(" with ESMTP id"), std::string::npos);
}

TEST_F(Bdat, ChunksSplitAnywhereGiveTheSameQueueFile) {
  Start();
  auto c = Ehlo();
  // Splits inside CR LF, around a "." line and at the end of the header block.
  const std::string message = "Subject: s\r\nDate: x\r\n\r\n.\r\n.\r\n..x\r\n";
  ASSERT_EQ(ViaData(*c, message), "250 2.0.0 Message received OK");
  const std::string expected = Queued(1);
  int n = 1;
  for (size_t cut = 0; cut <= message.size(); ++cut) {
    c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n" +
            Chunk(message.substr(0, cut)) + Chunk(message.substr(cut), true));
    c->ReadLine();
    c->ReadLine();
    c->ReadLine();
    ASSERT_EQ(c->ReadLine(), "250 2.0.0 Message received OK") << cut;
    EXPECT_EQ(Queued(++n), expected) << cut;
  }
  // One octet a chunk.
  c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n");
  c->ReadLine();
  c->ReadLine();
  for (char ch : message) c->Send(Chunk(std::string(1, ch)));
  for (size_t i = 0; i < message.size(); ++i)
    ASSERT_EQ(c->ReadLine(), "250 2.0.0 1 octets received");
  EXPECT_EQ(c->Cmd("BDAT 0 LAST"), "250 2.0.0 Message received OK");
  EXPECT_EQ(Queued(++n), expected);
}

TEST_F(Bdat, BareLineEndsBecomeLinesOfTheirOwnAndNeverEndTheMessage) {
  Start();
  auto c = Ehlo();
  // Smuggling attempts: a "." between bare line ends, a "." line after a CR at the end
  // of a chunk, and a next transaction written into the chunk.
  const std::string first = "Subject: x\n\nA\n.\nMAIL FROM:<evil@x.example>\r\n.\r";
  const std::string second = "\n.\rRCPT TO:<v@corp.example>\rDATA\r\n\r\n.\r\nQUIT\r\nno end";
  c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n" + Chunk(first) +
          Chunk(second, true) + "MAIL FROM:<t@x.example>\r\n");
  c->ReadLine();
  c->ReadLine();
  c->ReadLine();
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 Message received OK");
  EXPECT_EQ(c->ReadLine(), "250 2.1.0 OK <t@x.example>");
  EXPECT_EQ(Queued(1),
            "Subject: x\r\n\r\nA\r\n..\r\nMAIL FROM:<evil@x.example>\r\n..\r\n..\r\n"
            "RCPT TO:<v@corp.example>\r\nDATA\r\n\r\n..\r\nQUIT\r\nno end\r\n.\r\n");
  // The only pair is that message's; the text that looked like a transaction is in it.
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{Id(1) + ".MSG", Id(1) + ".RCP"}));
}

TEST_F(Bdat, OverTheLimitTheRestIsReadAndTheLastChunkIsRefused) {
  server_->SetMaxMessageSize(1000);
  server_->SetMaxLineLength(100);
  Start();
  auto c = Ehlo();
  std::string half;
  for (int i = 0; i < 10; ++i) half += std::string(58, 'x') + "\r\n";
  const std::string lines = std::string(60, 'y') + "\r\n";
  c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n" + Chunk(lines) + Chunk(half) +
          Chunk(half) + Chunk("z", true));
  c->ReadLine();
  c->ReadLine();
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 62 octets received");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 600 octets received");
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 600 octets received");
  EXPECT_EQ(c->ReadLine(), "552 5.3.4 Message exceeds the size limit");
  // A line longer than MaxLineLength, even across chunks, as DATA refuses it.
  c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n" + Chunk(std::string(60, 'a')) +
          Chunk(std::string(60, 'b') + "\r\n", true));
  c->ReadLine();
  c->ReadLine();
  c->ReadLine();
  EXPECT_EQ(c->ReadLine(), "500 5.5.2 Line too long");
  EXPECT_TRUE(QueueFiles().empty());
  // The session goes on: exactly the limit is taken.
  server_->SetMaxLineLength(0);
  c->Send("MAIL FROM:<s@x.example>\r\nRCPT TO:<u@corp.example>\r\n" +
          Chunk(std::string(998, 'w') + "\r\n", true));
  c->ReadLine();
  c->ReadLine();
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 Message received OK");
  EXPECT_EQ(QueueFiles().size(), 2u);
}

TEST_F(Bdat, SequenceAndSyntax) {
  Start();
  auto c = Ehlo();
  // Without MAIL and an accepted recipient: 503, and the octets are never commands.
  c->Send(Chunk("QUIT\r\n"));
  EXPECT_EQ(c->ReadLine(), "503 5.5.1 No valid recipients specified");
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 2.1.0 OK <s@x.example>");
  c->Send(Chunk("QUIT\r\n", true));
  EXPECT_EQ(c->ReadLine(), "503 5.5.1 No valid recipients specified");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "503 5.5.1 Need MAIL before RCPT")
      << "the refused BDAT ended the transaction";
  // DATA after a chunk: 503, and the transaction is over.
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 2.1.0 OK <s@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  c->Send(Chunk("Subject: a\r\n"));
  EXPECT_EQ(c->ReadLine(), "250 2.0.0 12 octets received");
  EXPECT_EQ(c->Cmd("DATA"), "503 5.5.1 DATA not allowed after BDAT");
  c->Send(Chunk("x\r\n", true));
  EXPECT_EQ(c->ReadLine(), "503 5.5.1 No valid recipients specified");
  // A chunk after LAST belongs to no transaction.
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 2.1.0 OK <s@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  EXPECT_EQ(c->Cmd("BDAT 0 last"), "250 2.0.0 Message received OK");
  EXPECT_EQ(c->Cmd("BDAT 0 LAST"), "503 5.5.1 No valid recipients specified");
  // Something other than LAST after a valid size: the chunk is read, 501.
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 2.1.0 OK <s@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 2.1.5 OK <u@corp.example>");
  c->Send("BDAT 6 FIRST\r\nNOOP\r\n");
  EXPECT_EQ(c->ReadLine(), "501 5.5.4 Syntax: BDAT size [LAST]");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "503 5.5.1 Need MAIL before RCPT");
  EXPECT_EQ(QueueFiles().size(), 2u);
  // A size that is not a number: the end of the chunk cannot be known, so the
  // connection ends after the reply.
  for (const std::string bad :
       {"BDAT", "BDAT x", "BDAT -1", "BDAT 1x LAST", "BDAT 99999999999999999999"}) {
    auto d = Ehlo();
    EXPECT_EQ(d->Cmd(bad), "501 5.5.4 Syntax: BDAT size [LAST]") << bad;
    EXPECT_EQ(d->ReadLine(), "<closed>") << bad;
  }
}

TEST_F(Bdat, RefusedClientsAndSwitchedOff) {
  server_->SetLocalBlackList({*ParseNet("127.0.0.0/8")});
  server_->SetLocalBlackListNotice("listed");
  Start();
  auto c = Ehlo();
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 2.1.0 OK <s@x.example>");
  c->Send(Chunk("NOOP\r\n", true));
  EXPECT_EQ(c->ReadLine(), "554 5.7.1 access denied, listed");
  EXPECT_EQ(c->Cmd("NOOP"), "250 2.0.0 NOOP Performed");
  server_->SetChunking(false);
  auto d = Connect();
  d->SendLine("EHLO client.example");
  std::vector<std::string> ehlo;
  do ehlo.push_back(d->ReadLine());
  while (ehlo.back()[3] == '-');
  EXPECT_EQ(std::find(ehlo.begin(), ehlo.end(), "250-CHUNKING"), ehlo.end());
  EXPECT_EQ(d->Cmd("BDAT 0 LAST"), "500 5.5.2 Syntax Error, Command Unrecognized BDAT 0 LAST");
  server_->SetEsmtp(false);
  auto e = Connect();
  EXPECT_EQ(e->Cmd("BDAT 0 LAST"), "500 Syntax Error, Command Unrecognized BDAT 0 LAST");
}

}  // namespace
}  // namespace kestran::testing_smtp
