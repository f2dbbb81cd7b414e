// The transports against a next hop of the tests' own: replies per recipient, pipelined
// and step by step, faults in the middle of a transaction, STARTTLS, connection reuse,
// and a sendmail program's exit status.
// test-labels: threads

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "deliver/transport.h"
#include "deliver_fixture.h"
#include "scripted_peer.h"
#include "support/child_process.h"
#include "support/test_cert.h"

namespace kestran {
namespace {

using test::PeerSession;
using test::RecordingPeer;
using test::ScriptedPeer;

const std::string kQueued = "Subject: t\r\n\r\n..dot\r\nbody\r\n.\r\n";

test::SendOutcome SendVia(TTransport& t, const std::vector<std::string>& to,
                          const std::string& queued = kQueued,
                          const std::string& sender = "a@x.test") {
  return test::SendThrough(t, to, queued, sender);
}

TTransportOptions Options(int timeoutMs = 3000) {
  TTransportOptions o;
  o.heloName = "mx.test";
  o.timeoutMs = timeoutMs;
  return o;
}

std::unique_ptr<TTransport> Tcp(const char* kind, uint16_t port, int timeoutMs = 3000) {
  return MakeTransport(*ParseNextHop(std::string(kind) + ":[127.0.0.1]:" + std::to_string(port)),
                       Options(timeoutMs));
}

TEST(Transports, LmtpGivesEachRecipientItsOwnReply) {
  for (bool pipelining : {true, false}) {
    RecordingPeer peer(
        true, pipelining ? std::vector<std::string>{"PIPELINING"} : std::vector<std::string>{},
        [](const std::string& a) {
          return a == "gone@x.test" ? "550 5.1.1 <gone@x.test> unknown" : "";
        },
        [](const std::string& a) {
          return a == "full@x.test" ? "452 4.2.2 <full@x.test> Mailbox full" : "";
        });
    auto t = Tcp("lmtp", peer.port());
    auto o = SendVia(*t, {"bob@x.test", "gone@x.test", "full@x.test", "bob@x.test"});
    EXPECT_EQ(o.replies[0].code, 250);
    EXPECT_EQ(o.replies[0].text, "250 2.0.0 <bob@x.test> Saved");
    EXPECT_EQ(o.replies[1].code, 550);
    EXPECT_TRUE(o.replies[1].Permanent());
    EXPECT_EQ(o.replies[2].code, 452);
    EXPECT_EQ(o.replies[3].code, 250);  // given twice: asked once, answered for both
    EXPECT_EQ(o.order.size(), 4u);
    auto msgs = peer.Messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].to, std::vector<std::string>{"bob@x.test"});
    EXPECT_EQ(msgs[0].data, "Subject: t\r\n\r\n..dot\r\nbody\r\n");
    int rcpts = 0;
    for (const auto& c : peer.Commands()) rcpts += c.rfind("RCPT", 0) == 0;
    EXPECT_EQ(rcpts, 3);
  }
}

TEST(Transports, SmtpReusesTheConnectionWithRsetAndOneReplyCoversAll) {
  RecordingPeer peer(false, {"PIPELINING", "SIZE 1000000"});
  auto t = Tcp("smtp", peer.port());
  auto first = SendVia(*t, {"a@y.test", "b@y.test"});
  auto second = SendVia(*t, {"c@y.test"}, kQueued, "");
  t->Close();
  EXPECT_EQ(first.replies[0].text, "250 2.0.0 Ok: queued");
  EXPECT_EQ(first.replies[1].code, 250);
  EXPECT_EQ(second.replies[0].code, 250);
  EXPECT_EQ(peer.connections(), 1);
  auto msgs = peer.Messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[1].from, "");  // the null sender stays null
  auto cmds = peer.Commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "RSET"), cmds.end());
  EXPECT_EQ(cmds.front(), "EHLO mx.test");
  EXPECT_EQ(cmds.back(), "QUIT");
}

TEST(Transports, FaultsMidTransactionLeaveRecipientsToRetry) {
  // A disconnect in the middle of the data.
  ScriptedPeer cut([](PeerSession& s) {
    s.Send("220 hi\r\n");
    std::string line;
    s.ReadLine(line);
    s.Send("250-peer\r\n250 PIPELINING\r\n");
    for (int i = 0; i < 3; ++i) s.ReadLine(line);  // MAIL, RCPT, DATA
    s.Send("250 ok\r\n250 ok\r\n354 go\r\n");
    s.ReadLine(line);
    s.Close();
  });
  std::string big = "Subject: big\r\n\r\n";
  for (int i = 0; i < 20000; ++i) big += "line of a large message body line of a large message\r\n";
  big += ".\r\n";
  auto o = SendVia(*Tcp("lmtp", cut.port()), {"x@y.test"}, big);
  EXPECT_EQ(o.replies[0].code, 0);
  EXPECT_FALSE(o.replies[0].Success());
  EXPECT_NE(o.replies[0].text.find("lost connection"), std::string::npos) << o.replies[0].text;
  EXPECT_EQ(cut.connections(), 1);

  // A peer that never answers: the time-out ends the attempt.
  ScriptedPeer silent([](PeerSession& s) {
    std::string line;
    s.ReadLine(line);
  });
  auto start = std::chrono::steady_clock::now();
  o = SendVia(*Tcp("smtp", silent.port(), 300), {"x@y.test"});
  EXPECT_EQ(o.replies[0].code, 0);
  EXPECT_NE(o.replies[0].text.find("timed out"), std::string::npos) << o.replies[0].text;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // A slow peer within the time-out delivers.
  ScriptedPeer slow([](PeerSession& s) {
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    std::string line, data;
    pause();
    s.Send("220 slow\r\n");
    s.ReadLine(line);
    pause();
    s.Send("250-slow\r\n");
    pause();
    s.Send("250 8BITMIME\r\n");
    for (int i = 0; i < 3; ++i) {
      s.ReadLine(line);
      pause();
      s.Send(i < 2 ? "250 ok\r\n" : "354 go\r\n");
    }
    s.ReadData(data);
    pause();
    s.Send("250 2.0.0 <x@y.test> slowly Saved\r\n");
    s.ReadLine(line);
  });
  o = SendVia(*Tcp("lmtp", slow.port(), 1000), {"x@y.test"});
  EXPECT_EQ(o.replies[0].code, 250) << o.replies[0].text;

  // Nothing listens.
  uint16_t closedPort = slow.port();
  {
    ScriptedPeer gone([](PeerSession&) {});
    closedPort = gone.port();
  }
  o = SendVia(*Tcp("smtp", closedPort), {"x@y.test"});
  EXPECT_EQ(o.replies[0].code, 0);
  EXPECT_NE(o.replies[0].text.find("refused"), std::string::npos) << o.replies[0].text;

  // A refused sender answers for every recipient; a 421 greeting is temporary.
  RecordingPeer refuse(false, {}, [](const std::string&) { return "451 4.7.1 later"; });
  o = SendVia(*Tcp("smtp", refuse.port()), {"p@y.test", "q@y.test"});
  EXPECT_EQ(o.replies[0].code, 451);
  EXPECT_EQ(o.replies[1].code, 451);
  EXPECT_TRUE(refuse.Messages().empty());
}

TEST(Transports, StartTlsWhenOfferedAndVerificationOnlyWhenAsked) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::MakeSelfSignedCert(dir.path() + "c.pem", dir.path() + "k.pem", "peer.test"));
  RecordingPeer peer(false, {"STARTTLS", "PIPELINING"}, nullptr, nullptr, "", dir.path() + "c.pem",
                     dir.path() + "k.pem");
  auto o = SendVia(*Tcp("smtp", peer.port()), {"t@y.test"});
  EXPECT_EQ(o.replies[0].code, 250) << o.replies[0].text;
  ASSERT_EQ(peer.Messages().size(), 1u);
  EXPECT_TRUE(peer.Messages()[0].tls);

  // With verification, a self-signed certificate is refused and the message waits.
  TTransportOptions verify = Options();
  verify.tlsVerify = true;
  auto t = MakeTransport(*ParseNextHop("smtp:[127.0.0.1]:" + std::to_string(peer.port())), verify);
  o = SendVia(*t, {"t@y.test"});
  EXPECT_EQ(o.replies[0].code, 0);
  EXPECT_NE(o.replies[0].text.find("TLS"), std::string::npos) << o.replies[0].text;
  EXPECT_EQ(peer.Messages().size(), 1u);
  // And it insists: the next try fails the same way.
  o = SendVia(*t, {"t@y.test"});
  EXPECT_EQ(o.replies[0].code, 0);

  // A peer whose TLS is broken: the message waits, and the next try goes in plain text.
  RecordingPeer broken(false, {"STARTTLS"});
  auto plain = Tcp("smtp", broken.port());
  o = SendVia(*plain, {"t@y.test"});
  EXPECT_EQ(o.replies[0].code, 0);
  o = SendVia(*plain, {"t@y.test"});
  EXPECT_EQ(o.replies[0].code, 250) << o.replies[0].text;
  ASSERT_EQ(broken.Messages().size(), 1u);
  EXPECT_FALSE(broken.Messages()[0].tls);
  plain->Close();

  // Plain text lasts only for tlsRetrySeconds: then TLS is tried again (and fails again
  // here, so that message waits).
  TTransportOptions retry = Options();
  retry.tlsRetrySeconds = 1;
  auto again =
      MakeTransport(*ParseNextHop("smtp:[127.0.0.1]:" + std::to_string(broken.port())), retry);
  EXPECT_EQ(SendVia(*again, {"t@y.test"}).replies[0].code, 0);
  again->Close();
  EXPECT_EQ(SendVia(*again, {"t@y.test"}).replies[0].code, 250);
  again->Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(SendVia(*again, {"t@y.test"}).replies[0].code, 0);
  EXPECT_EQ(broken.Messages().size(), 2u);
}

TEST(Transports, SendmailGetsTheMessageUnstuffedAndItsExitStatusDecides) {
  test::ScratchDir dir;
  const std::string script = dir.path() + "sendmail";
  ASSERT_TRUE(test::WriteFileText(
      script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + dir.path() + "args\ncat > " + dir.path() +
                  "stdin\n"
                  "case \"$5\" in fail@*) echo 'no such user' >&2; exit 67;; "
                  "later@*) echo 'queue full' >&2; exit 75;; esac\nexit 0\n"));
  ::chmod(script.c_str(), 0755);
  auto t = MakeTransport(*ParseNextHop("sendmail:" + script), Options());
  const std::string queued = "Subject: s\r\n\r\n..one\r\n...two\r\nthree\r\n.\r\n";
  auto o = SendVia(*t, {"ok@y.test", "ok2@y.test"}, queued);
  EXPECT_EQ(o.replies[0].code, 250);
  EXPECT_EQ(o.replies[1].code, 250);
  EXPECT_EQ(test::ReadFileText(dir.path() + "stdin"), "Subject: s\n\n.one\n..two\nthree\n");
  EXPECT_EQ(test::ReadFileText(dir.path() + "args"),
            "-i\n-f\na@x.test\n--\nok@y.test\nok2@y.test\n");

  o = SendVia(*t, {"later@y.test"}, queued);
  EXPECT_EQ(o.replies[0].code, 451);
  EXPECT_NE(o.replies[0].text.find("queue full"), std::string::npos) << o.replies[0].text;
  o = SendVia(*t, {"fail@y.test"}, queued, "");
  EXPECT_TRUE(o.replies[0].Permanent());
  EXPECT_NE(o.replies[0].text.find("no such user"), std::string::npos);
  EXPECT_EQ(test::ReadFileText(dir.path() + "args"), "-i\n-f\n<>\n--\nfail@y.test\n");

  // A program that cannot be run is a temporary failure.
  auto missing = MakeTransport(*ParseNextHop("sendmail:" + dir.path() + "none"), Options());
  o = SendVia(*missing, {"ok@y.test"});
  EXPECT_EQ(o.replies[0].code, 0);
}

}  // namespace
}  // namespace kestran
