// The recipient check at the door against a scripted next hop: one LHLO per connection,
// MAIL FROM:<>, RCPT and RSET per question, the answers by reply class, the hop's SIZE,
// a kept connection the hop closed, and a hop that is gone or silent.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "deliver/next_hop_verifier.h"
#include "scripted_peer.h"

namespace kestran {
namespace {

using test::PeerSession;
using test::RecordingPeer;
using test::ScriptedPeer;

TNextHop Hop(const std::string& kind, uint16_t port) {
  auto hop = ParseNextHop(kind + ":[127.0.0.1]:" + std::to_string(port));
  EXPECT_TRUE(hop.has_value());
  return *hop;
}

TEST(NextHopVerifier, AsksOverOneKeptConnectionAndTellsTheAnswersApart) {
  RecordingPeer peer(true, {"SIZE 10240000", "PIPELINING"}, [](const std::string& a) {
    if (a == "nobody@example.org")
      return std::string("550 5.1.1 <nobody@example.org> User doesn't exist");
    if (a == "full@example.org") return std::string("452 4.2.2 <full@example.org> Mailbox is full");
    return std::string();
  });
  TNextHopVerifier v(Hop("lmtp", peer.port()), "mx.example.org", 3000);
  EXPECT_EQ(v.MailboxSizeLimit(), 0u);  // not asked yet
  EXPECT_EQ(v.Verify("bob@example.org"), TVerifyAnswer::Valid);
  EXPECT_EQ(v.Verify("nobody@example.org"), TVerifyAnswer::Invalid);
  EXPECT_EQ(v.Verify("full@example.org"), TVerifyAnswer::Unknown);
  EXPECT_EQ(v.Verify("bad\r\nRCPT TO:<x@example.org>"), TVerifyAnswer::Unknown);
  EXPECT_EQ(v.MailboxSizeLimit(), 10240000u);
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(v.ConnectionsOpened(), 1u);
  const std::vector<std::string> expected = {"LHLO mx.example.org",
                                             "MAIL FROM:<>",
                                             "RCPT TO:<bob@example.org>",
                                             "RSET",
                                             "MAIL FROM:<>",
                                             "RCPT TO:<nobody@example.org>",
                                             "RSET",
                                             "MAIL FROM:<>",
                                             "RCPT TO:<full@example.org>",
                                             "RSET"};
  EXPECT_EQ(peer.Commands(), expected);
  EXPECT_TRUE(peer.Messages().empty());
}

// Each session of this hop answers one question and closes: the kept connection is
// found closed at the next question, and a new one asks it.
TEST(NextHopVerifier, AConnectionTheHopClosedIsOpenedAgain) {
  ScriptedPeer peer([](PeerSession& s) {
    s.Send("220 hop ready\r\n");
    std::string line;
    while (s.ReadLine(line)) {
      if (line.rfind("EHLO", 0) == 0) {
        s.Send("250-hop\r\n250 SIZE 2000\r\n");
      } else if (line.rfind("RSET", 0) == 0) {
        s.Send("250 2.0.0 Ok\r\n");
        s.Close();
        return;
      } else {
        s.Send("250 2.1.0 Ok\r\n");
      }
    }
  });
  TNextHopVerifier v(Hop("smtp", peer.port()), "mx.test", 3000);
  EXPECT_EQ(v.Verify("a@example.org"), TVerifyAnswer::Valid);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(v.Verify("b@example.org"), TVerifyAnswer::Valid);
  EXPECT_EQ(v.ConnectionsOpened(), 2u);
  EXPECT_EQ(v.MailboxSizeLimit(), 2000u);
}

TEST(NextHopVerifier, AHopGoneOrSilentGivesNoAnswerWithinTheTimeOut) {
  uint16_t closedPort = 0;
  {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    closedPort = ntohs(a.sin_port);
    ::close(fd);
  }
  TNextHopVerifier gone(Hop("lmtp", closedPort), "mx.test", 2000);
  EXPECT_EQ(gone.Verify("bob@example.org"), TVerifyAnswer::Unknown);

  // Greets, then says nothing more.
  ScriptedPeer silent([](PeerSession& s) {
    s.Send("220 hop ready\r\n");
    std::string line;
    while (s.ReadLine(line)) {
    }
  });
  TNextHopVerifier v(Hop("lmtp", silent.port()), "mx.test", 300);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(v.Verify("bob@example.org"), TVerifyAnswer::Unknown);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  auto sendmail = ParseNextHop("sendmail:/usr/sbin/sendmail");
  ASSERT_TRUE(sendmail.has_value());
  TNextHopVerifier cannot(*sendmail, "mx.test", 300);
  EXPECT_EQ(cannot.Verify("bob@example.org"), TVerifyAnswer::Unknown);
}

}  // namespace
}  // namespace kestran
