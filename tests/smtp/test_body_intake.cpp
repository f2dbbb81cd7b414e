// Large bodies: the part beyond what a session keeps in memory goes to a scratch file in
// the queue directory; the queued message is the same either way, and the scratch file
// never outlives the transaction, however it ends.

#include <sys/stat.h>

#include <thread>

#include "smtp/message_body.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

using namespace std::chrono_literals;

class BodyIntake : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetForwardMail(true);
    server_->OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = ++next_;
      handled = true;
    };
  }
  std::vector<std::string> ScratchFiles() const {
    std::vector<std::string> found;
    for (const auto& name : QueueFiles())
      if (name.rfind("kestran-body-", 0) == 0) found.push_back(name);
    return found;
  }
  bool NoScratchFile() const {
    for (int i = 0; i < 500; ++i) {
      if (ScratchFiles().empty()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // Opens a transaction and sends raw body bytes (without the final ".").
  void BeginBody(RawClient& c) {
    EXPECT_EQ(c.Cmd("MAIL FROM:<s@x.example>"), "250 OK <s@x.example>");
    EXPECT_EQ(c.Cmd("RCPT TO:<u@y.example>"), "250 OK <u@y.example>");
    EXPECT_EQ(c.Cmd("DATA"), "354 Ready for data");
  }
  // The queued message without the five lines put in front of it.
  std::string QueuedBody(int32_t number) {
    std::string text = ReadFile(queue_ / (FormatId(number) + ".MSG"));
    size_t pos = 0;
    for (int i = 0; i < 5 && pos != std::string::npos; ++i) {
      pos = text.find("\r\n", pos);
      if (pos != std::string::npos) pos += 2;
    }
    EXPECT_EQ(text.rfind("Received: from ", 0), 0u);
    return pos == std::string::npos ? std::string() : text.substr(pos);
  }
  static std::string FormatId(int32_t n) {
    std::string d = std::to_string(n);
    return "B" + std::string(10 - d.size(), '0') + d;
  }

  std::atomic<int32_t> next_{0};
};

// A body of about size bytes, lines of varied length and content: dot-stuffed lines,
// bare LF and CR inside lines, blanks at the ends.
std::string MakeBody(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string body = "Subject: spill test\r\n\r\n";
  static const char* const kOdd[] = {"..",
                                     "...dot stuffed",
                                     "bare\nLF inside",
                                     "bare\rCR",
                                     " leading blank",
                                     "trailing blank ",
                                     "\t",
                                     ""};
  while (body.size() < size) {
    unsigned pick = rng() % 12;
    if (pick < 8) {
      body += kOdd[pick];
    } else {
      size_t len = rng() % 2000;
      for (size_t i = 0; i < len; ++i) body.push_back(static_cast<char>('!' + rng() % 90));
    }
    body += "\r\n";
  }
  return body;
}

TEST_F(BodyIntake, BodiesBelowAndAboveTheMemoryPartAreQueuedAsReceived) {
  Start();
  auto c = Connect();
  const size_t part = TMessageBody::kMemoryPart;
  std::vector<std::string> bodies = {MakeBody(1000, 1), MakeBody(part - 100, 2),
                                     MakeBody(3 * 1024 * 1024, 3)};
  // Dot-stuffed lines on both sides of where the memory part ends.
  std::string edge = "Subject: edge\r\n\r\n";
  while (edge.size() < part - 10) edge += std::string(998, 'e') + "\r\n";
  edge += "..\r\n..x\r\n.\tnot the end\r\n";
  bodies.push_back(edge);

  for (size_t i = 0; i < bodies.size(); ++i) {
    BeginBody(*c);
    c->Send(bodies[i]);
    c->Send(".\r\n");
    EXPECT_EQ(c->ReadLine(), "250 Message received OK") << i;
    EXPECT_EQ(QueuedBody(static_cast<int32_t>(i + 1)), bodies[i] + ".\r\n") << i;
  }
  EXPECT_TRUE(ScratchFiles().empty());

  // While a large body arrives, its scratch file is private to the receiver.
  BeginBody(*c);
  c->Send(MakeBody(600 * 1024, 4));
  ASSERT_TRUE([&] {
    for (int i = 0; i < 500 && ScratchFiles().empty(); ++i) std::this_thread::sleep_for(10ms);
    return ScratchFiles().size() == 1;
  }());
  const std::string name = ScratchFiles()[0];
  EXPECT_EQ(name.size(), std::string("kestran-body-").size() + 16 + 4);
  EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
  struct stat st;
  ASSERT_EQ(::lstat((queue_ / name).c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  c->Send(".\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  EXPECT_TRUE(ScratchFiles().empty());
}

TEST_F(BodyIntake, ScratchFileIsRemovedHoweverTheTransactionEnds) {
  server_->SetMaxMessageSize(1024 * 1024);
  server_->SetMaxLineLength(4096);
  Start();
  auto c = Connect();
  // Over the size limit after spilling: refused, and the scratch file goes at once.
  BeginBody(*c);
  c->Send(MakeBody(700 * 1024, 5));
  c->Send(MakeBody(700 * 1024, 6));
  EXPECT_TRUE(NoScratchFile());
  c->Send(".\r\n");
  EXPECT_EQ(c->ReadLine(), "552 Message exceeds the size limit");
  // A line too long after spilling.
  BeginBody(*c);
  c->Send(MakeBody(400 * 1024, 7) + std::string(5000, 'l') + "\r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "500 Line too long");
  EXPECT_TRUE(NoScratchFile());
  EXPECT_EQ(next_.load(), 0);

  // The client goes away in the middle of a spilled body.
  auto d = Connect();
  BeginBody(*d);
  d->Send(MakeBody(500 * 1024, 8));
  d.reset();
  EXPECT_TRUE(NoScratchFile());

  // The number source fails after the body was read: the session ends, nothing stays.
  server_->OnNextIDEvent = [](int32_t&, bool&) { throw Exception("counter unavailable"); };
  auto e = Connect();
  BeginBody(*e);
  e->Send(MakeBody(500 * 1024, 9) + ".\r\n");
  EXPECT_EQ(e->ReadLine(), "<closed>");
  EXPECT_TRUE(NoScratchFile());
  EXPECT_TRUE(QueueFiles().empty());
}

TEST_F(BodyIntake, BodyThatCannotSpillIsRefusedWithoutANumber) {
  // No queue directory: the scratch file cannot be made.
  server_->SetMailWriteDir("C:\\missing\\");
  Start();
  auto c = Connect();
  BeginBody(*c);
  c->Send(MakeBody(400 * 1024, 10) + ".\r\n");
  EXPECT_EQ(c->ReadLine(), "451 ERR Requested Action Aborted");
  EXPECT_EQ(next_.load(), 0);
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
}

TEST_F(BodyIntake, FirstLineThatWouldContinueTheTraceHeaderGetsALineOfItsOwn) {
  Start();
  auto c = Connect();
  BeginBody(*c);
  c->Send(" (via trusted.example [10.0.0.1]); forged\r\nSubject: s\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  std::string text = ReadFile(queue_ / "B0000000001.MSG");
  std::string tail = "Message-ID: <B0000000001@" + Host() +
                     ">\r\nX-Kestran-Unattached-Text:\r\n (via trusted.example [10.0.0.1]); "
                     "forged\r\nSubject: s\r\n\r\nbody\r\n.\r\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  // A tab does the same; a blank later in the header block is ordinary folding.
  BeginBody(*c);
  c->Send("\tx\r\nSubject: a\r\n b\r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  EXPECT_NE(ReadFile(queue_ / "B0000000002.MSG").find(">\r\nX-Kestran-Unattached-Text:\r\n\tx\r\n"),
            std::string::npos);
  BeginBody(*c);
  c->Send("Subject: a\r\n b\r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  EXPECT_EQ(ReadFile(queue_ / "B0000000003.MSG").find("X-Kestran"), std::string::npos);
}

TEST_F(BodyIntake, RecipientsBeyondTheLimitAreRefusedAndTheTransactionGoesOn) {
  server_->SetMaxRecipients(2);
  Start();
  auto c = Connect();
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 OK <s@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<a@y.example>"), "250 OK <a@y.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<b@y.example>"), "250 OK <b@y.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<c@y.example>"), "452 Too many recipients");
  EXPECT_EQ(c->Cmd("RCPT TO:<d@y.example>"), "452 Too many recipients");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  c->Send("hi\r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  EXPECT_EQ(ReadFile(queue_ / "B0000000001.RCP"),
            "Message-ID: <B0000000001@" + Host() +
                ">\r\nReturn-path: s@x.example\r\nRecipient: a@y.example\r\n"
                "Recipient: b@y.example\r\n");
  // The count starts again with the next transaction.
  EXPECT_EQ(c->Cmd("RCPT TO:<e@y.example>"), "250 OK <e@y.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<f@y.example>"), "250 OK <f@y.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<g@y.example>"), "452 Too many recipients");
}

TEST_F(BodyIntake, ConnectionsBeyondTheLimitsAreToldAndClosedWithoutASession) {
  std::atomic<int> sessions{0};
  server_->OnConnect = [&](TConduitServerThread*) { ++sessions; };
  server_->SetMaxConnections(3);
  server_->SetMaxConnectionsPerIP(2);
  Start();
  const std::string refusal = "421 " + Host() + " Too many connections, try again later";
  auto a = Connect();
  auto b = Connect();
  RawClient third(port_);
  EXPECT_EQ(third.ReadLine(), refusal);
  EXPECT_EQ(third.ReadLine(), "<closed>");
  auto d = Connect("127.0.0.2");
  RawClient fourth(port_, 10000, "127.0.0.3");
  EXPECT_EQ(fourth.ReadLine(), refusal);
  EXPECT_EQ(fourth.ReadLine(), "<closed>");
  // A place given back is free again.
  EXPECT_EQ(a->Cmd("QUIT"), "221 " + Host() + " closing");
  bool admitted = false;
  for (int i = 0; i < 100 && !admitted; ++i) {
    RawClient next(port_, 10000, "127.0.0.3");
    std::string first = next.ReadLine();
    admitted = first == Greeting();
    if (!admitted) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(admitted);
  EXPECT_EQ(b->Cmd("NOOP"), "250 NOOP Performed");
  server_.reset();
  EXPECT_EQ(sessions.load(), 4);
}

// A thread the system cannot create: its stack would be far larger than any address space.
class UnstartableThread : public TConduitServerThread {
 public:
  explicit UnstartableThread(TConduitServer* c) : TConduitServerThread(c, size_t{1} << 46) {}
};

TEST_F(BodyIntake, AConnectionWithoutAThreadIsToldAndItsPlaceGivenBack) {
  std::atomic<bool> unstartable{true};
  server_->OnCreateThread = [&](TConduitServer* conn, TConduitServerThread*& thread) {
    if (unstartable) thread = new UnstartableThread(conn);
  };
  server_->SetMaxConnections(1);
  Start();
  for (int i = 0; i < 2; ++i) {
    RawClient refused(port_);
    EXPECT_EQ(refused.ReadLine(), "421 " + Host() + " Too many connections, try again later");
    EXPECT_EQ(refused.ReadLine(), "<closed>");
  }
  unstartable = false;
  auto c = Connect();
  EXPECT_EQ(c->Cmd("QUIT"), "221 " + Host() + " closing");
}

}  // namespace
}  // namespace kestran::testing_smtp
