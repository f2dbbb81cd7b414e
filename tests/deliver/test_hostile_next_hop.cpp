// A next hop that answers out of step, without end, or too slowly: nothing it says in
// such a transaction makes a recipient delivered, its body is never sent, and the
// connection is never used again (the next message goes over a new one).
// test-labels: threads

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "deliver/delivery_state.h"
#include "deliver/pair_delivery.h"
#include "deliver/transport.h"
#include "deliver_fixture.h"
#include "scripted_peer.h"

namespace kestran {
namespace {

using test::PeerSession;
using test::ScriptedPeer;

const std::string kQueued = "Subject: t\r\n\r\nbody\r\n.\r\n";

TReply SendOne(TTransport& t, const std::string& to, const std::string& queued = kQueued,
               bool eightBit = false) {
  return test::SendThrough(t, {to}, queued, "a@x.test", eightBit).replies[0];
}

// What a hop of the test saw: the bodies it took and every command line.
struct Seen {
  std::mutex m;
  std::vector<std::string> bodies;
  std::vector<std::string> commands;
  void Command(const std::string& c) {
    std::lock_guard<std::mutex> g(m);
    commands.push_back(c);
  }
  void Body(const std::string& b) {
    std::lock_guard<std::mutex> g(m);
    bodies.push_back(b);
  }
  size_t BodyCount() {
    std::lock_guard<std::mutex> g(m);
    return bodies.size();
  }
};

// An honest hop from the greeting on: answers each command in turn, the data with one
// reply (LMTP: one per recipient).
void Honest(PeerSession& s, bool lmtp, Seen& seen, const std::string& extensions = "") {
  s.Send("220 honest\r\n");
  std::string line, data;
  size_t rcpts = 0;
  while (s.ReadLine(line)) {
    seen.Command(line);
    const std::string verb = line.substr(0, 4);
    if (verb == "LHLO" || verb == "EHLO")
      s.Send("250-honest\r\n" + extensions + "250 PIPELINING\r\n");
    else if (verb == "RCPT") {
      ++rcpts;
      s.Send("250 ok\r\n");
    } else if (verb == "DATA") {
      s.Send("354 go\r\n");
      if (!s.ReadData(data)) return;
      seen.Body(data);
      for (size_t i = 0; i < (lmtp ? rcpts : 1); ++i) s.Send("250 2.0.0 taken\r\n");
      rcpts = 0;
    } else if (verb == "QUIT") {
      s.Send("221 bye\r\n");
      return;
    } else {
      if (verb == "RSET") rcpts = 0;
      s.Send("250 ok\r\n");
    }
  }
}

// Reads the envelope of one pipelined transaction (MAIL, one RCPT, DATA) after the hello.
void Hello(PeerSession& s, Seen& seen) {
  s.Send("220 hop\r\n");
  std::string line;
  s.ReadLine(line);
  s.Send("250-hop\r\n250 PIPELINING\r\n");
  for (int i = 0; i < 3 && s.ReadLine(line); ++i) seen.Command(line);
}

struct Case {
  const char* name;
  std::function<void(PeerSession&, Seen&)> hostile;
  const char* why;  // part of the protocol error's text
};

TEST(HostileNextHop, RepliesOutOfStepNeverDeliverAndTheConnectionIsNotReused) {
  const std::vector<Case> cases = {
      {"DATA answered with 250",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         s.Send("250 ok\r\n250 ok\r\n250 taken already\r\n");
         std::string line;
         while (s.ReadLine(line)) seen.Command(line);
       },
       "DATA answered without 354"},
      {"one reply too many",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         s.Send("250 ok\r\n250 ok\r\n250 extra reply\r\n354 go\r\n");
         std::string data;
         if (s.ReadData(data)) seen.Body(data);
       },
       "DATA answered without 354"},
      {"more replies than commands",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         s.Send("250 ok\r\n250 ok\r\n354 go\r\n250 surplus\r\n");
         std::string data;
         if (s.ReadData(data)) seen.Body(data);
       },
       "more replies than commands"},
      {"a multi-line reply without end",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         s.Send("250 ok\r\n");
         const std::string yyy = "250-" + std::string(60, 'y') + "\r\n";
         for (int i = 0; i < 5000; ++i) s.Send(yyy);
       },
       "more than 100 lines"},
      {"a line without end",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         const std::string block(4096, 'z');
         s.Send("250 ");
         for (int i = 0; i < 40; ++i) s.Send(block);
       },
       "more than 64 KiB"},
      {"a line that is no reply",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         s.Send("250 ok\r\nhello there\r\n354 go\r\n");
         std::string data;
         if (s.ReadData(data)) seen.Body(data);
       },
       "not a reply"},
      {"a reply of class 3 to RCPT",
       [](PeerSession& s, Seen& seen) {
         Hello(s, seen);
         s.Send("250 ok\r\n354 go\r\n354 go\r\n");
         std::string data;
         if (s.ReadData(data)) seen.Body(data);
       },
       "class 3"},
  };
  for (const bool lmtp : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(lmtp ? "LMTP: " : "SMTP: ") + c.name);
      Seen seen;
      std::atomic<int> sessions{0};
      ScriptedPeer hop([&](PeerSession& s) {
        if (sessions++ == 0)
          c.hostile(s, seen);
        else
          Honest(s, lmtp, seen);
      });
      auto transport = MakeTransport(*ParseNextHop(std::string(lmtp ? "lmtp" : "smtp") +
                                                   ":[127.0.0.1]:" + std::to_string(hop.port())),
                                     TTransportOptions{"mx.test", 3000, false, 3600});
      const TReply r = SendOne(*transport, "x@y.test");
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(r.text.rfind("protocol error: ", 0), 0u) << r.text;
      EXPECT_NE(r.text.find(c.why), std::string::npos) << r.text;
      EXPECT_LE(r.text.size(), 500u);
      // The next message goes over a new connection, and is delivered.
      const TReply next = SendOne(*transport, "z@y.test");
      EXPECT_EQ(next.code, 250) << next.text;
      transport->Close();
      EXPECT_EQ(hop.connections(), 2);
      // The hostile hop never got the body; the honest one got the second message.
      EXPECT_EQ(seen.BodyCount(), 1u);
    }
  }
}

TEST(HostileNextHop, TheBodyIsNeverSentWithout354AndEarlierRepliesDoNotCount) {
  // DATA answered 250: no byte of the body may reach the hop, and an LMTP recipient that
  // the hop refused at RCPT in the same transaction is not recorded from that reply.
  Seen seen;
  std::atomic<bool> bodyBytes{false};
  ScriptedPeer hop([&](PeerSession& s) {
    s.Send("220 hop\r\n");
    std::string line;
    s.ReadLine(line);
    s.Send("250 hop\r\n");  // no PIPELINING: one command at a time
    s.ReadLine(line);
    s.Send("250 ok\r\n");
    s.ReadLine(line);
    s.Send("550 no such user\r\n");
    s.ReadLine(line);
    s.Send("250 ok\r\n");
    s.ReadLine(line);  // DATA
    s.Send("250 taken already\r\n");
    while (s.ReadLine(line))
      if (line.find("body") != std::string::npos || line.rfind("Subject", 0) == 0) bodyBytes = true;
  });
  auto transport = MakeTransport(*ParseNextHop("lmtp:[127.0.0.1]:" + std::to_string(hop.port())),
                                 TTransportOptions{"mx.test", 3000, false, 3600});
  const auto replies = test::SendThrough(*transport, {"gone@y.test", "x@y.test"}, kQueued).replies;
  transport.reset();
  for (const auto& r : replies) {
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.text.rfind("protocol error: DATA answered without 354", 0), 0u) << r.text;
  }
  EXPECT_FALSE(bodyBytes.load());
}

TEST(HostileNextHop, AWholeReplyHasOneDeadlineAndItsBytesAreEscaped) {
  // One byte every 100 ms, with a time-out of 600 ms for the whole reply: the greeting
  // never completes in time, however steadily it drips.
  ScriptedPeer drip([](PeerSession& s) {
    for (char c : std::string("220 dripped slowly\r\n")) {
      s.Send(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  auto transport = MakeTransport(*ParseNextHop("smtp:[127.0.0.1]:" + std::to_string(drip.port())),
                                 TTransportOptions{"mx.test", 600, false, 3600});
  const auto start = std::chrono::steady_clock::now();
  TReply r = SendOne(*transport, "x@y.test");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.text.find("timed out"), std::string::npos) << r.text;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));

  // Octets outside printable ASCII in a reply are shown by their value.
  Seen seen;
  ScriptedPeer odd([&](PeerSession& s) {
    Hello(s, seen);
    s.Send("250 ok\r\n550 5.1.1 \xff\xfe\x1b[31m unknown\r\n554 5.5.1 no valid recipients\r\n");
    std::string line;
    while (s.ReadLine(line)) {
      if (line == "QUIT") break;
      s.Send("250 ok\r\n");
    }
  });
  transport = MakeTransport(*ParseNextHop("smtp:[127.0.0.1]:" + std::to_string(odd.port())),
                            TTransportOptions{"mx.test", 3000, false, 3600});
  r = SendOne(*transport, "x@y.test");
  EXPECT_EQ(r.code, 550);
  EXPECT_EQ(r.text, "550 5.1.1 \\xff\\xfe\\x1b[31m unknown");
  transport->Close();
}

TEST(HostileNextHop, AReplyWhileNoCommandIsOutstandingEndsTheConnectionBeforeTheNext) {
  // After the first message the hop speaks unasked: the next message does not take that
  // for the reply to RSET or MAIL, but goes over a new connection.
  Seen seen;
  std::atomic<int> sessions{0};
  ScriptedPeer hop([&](PeerSession& s) {
    if (sessions++ > 0) return Honest(s, true, seen);
    s.Send("220 hop\r\n");
    std::string line, data;
    s.ReadLine(line);
    s.Send("250-hop\r\n250 PIPELINING\r\n");
    for (int i = 0; i < 3; ++i) s.ReadLine(line);
    s.Send("250 ok\r\n250 ok\r\n354 go\r\n");
    s.ReadData(data);
    seen.Body(data);
    s.Send("250 2.0.0 first taken\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.Send("354 go\r\n");
    while (s.ReadLine(line)) seen.Command("first connection, later: " + line);
  });
  auto transport = MakeTransport(*ParseNextHop("lmtp:[127.0.0.1]:" + std::to_string(hop.port())),
                                 TTransportOptions{"mx.test", 3000, false, 3600});
  EXPECT_EQ(SendOne(*transport, "x@y.test").code, 250);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(SendOne(*transport, "z@y.test").code, 250);
  transport->Close();
  EXPECT_EQ(hop.connections(), 2);
  EXPECT_EQ(seen.BodyCount(), 2u);
  std::lock_guard<std::mutex> g(seen.m);
  for (const auto& c : seen.commands)
    EXPECT_EQ(c.find("first connection, later: RSET"), std::string::npos);
}

TEST(HostileNextHop, APairMetByAProtocolErrorIsDeferredWithItsTriesCounted) {
  test::ScratchDir dir;
  const std::string queue = dir.path();
  Seen seen;
  std::atomic<int> sessions{0};
  ScriptedPeer hop([&](PeerSession& s) {
    if (sessions++ > 0) return Honest(s, true, seen);
    Hello(s, seen);
    s.Send("250 ok\r\n250 ok\r\n250 ok\r\n250 taken already\r\n");
    std::string line;
    while (s.ReadLine(line)) {
    }
  });
  test::LogCollector log;
  auto ctx = test::TestContext(queue, "lmtp:[127.0.0.1]:" + std::to_string(hop.port()), log);
  test::WritePairFiles(queue, "B0000000001", test::QueueMessage("Subject: one\r\n\r\nx\r\n"),
                       test::QueueRecipients("a@x.test", {"bob@y.test", "carol@y.test"}));
  test::WritePairFiles(queue, "B0000000002", test::QueueMessage("Subject: two\r\n\r\nx\r\n"),
                       test::QueueRecipients("a@x.test", {"dave@y.test"}));
  auto transport = MakeTransport(ctx.transport, ctx.options);
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000001", false).outcome,
            TPairPass::Outcome::Waiting);
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000002", false).outcome,
            TPairPass::Outcome::Delivered);
  TDeliveryState state;
  ASSERT_TRUE(LoadDeliveryState(queue, "B0000000001", state));
  for (const auto& r : state.recipients) {
    EXPECT_EQ(r.state, TRecipientState::Deferred);
    EXPECT_EQ(r.tries, 1u);
  }
  const auto mail = log.Mail();
  ASSERT_EQ(mail.size(), 3u);
  EXPECT_NE(mail[0].find(", tries=1, status=deferred (protocol error: DATA answered without 354: "
                         "250 taken already)"),
            std::string::npos)
      << mail[0];
  EXPECT_NE(mail[2].find("to=<dave@y.test>"), std::string::npos);
  EXPECT_NE(mail[2].find("status=sent"), std::string::npos) << mail[2];
  EXPECT_EQ(seen.BodyCount(), 1u);
  EXPECT_EQ(hop.connections(), 2);
}

TEST(HostileNextHop, EnvelopeParametersFollowWhatTheHopOffers) {
  // SIZE and 8BITMIME offered: MAIL carries the size, and BODY=8BITMIME for a message with
  // octets above 127 only.
  Seen seen;
  ScriptedPeer hop(
      [&](PeerSession& s) { Honest(s, false, seen, "250-SIZE 1000\r\n250-8BITMIME\r\n"); });
  auto transport = MakeTransport(*ParseNextHop("smtp:[127.0.0.1]:" + std::to_string(hop.port())),
                                 TTransportOptions{"mx.test", 3000, false, 3600});
  EXPECT_EQ(SendOne(*transport, "x@y.test").code, 250);
  const std::string eight = "Subject: t\r\n\r\ncaf\xc3\xa9\r\n.\r\n";
  EXPECT_EQ(SendOne(*transport, "x@y.test", eight, true).code, 250);
  // Larger than the hop's SIZE: refused for good before any transaction.
  const std::string big = "Subject: t\r\n\r\n" + std::string(1200, 'a') + "\r\n.\r\n";
  const TReply tooBig = SendOne(*transport, "x@y.test", big);
  EXPECT_EQ(tooBig.code, 552);
  EXPECT_TRUE(tooBig.Permanent());
  EXPECT_EQ(tooBig.text.rfind("552 5.3.4 ", 0), 0u) << tooBig.text;
  // A UTF-8 address needs SMTPUTF8, which this hop does not offer: refused with 5.6.7,
  // never sent mangled.
  const TReply utf8 = SendOne(*transport, "j\xc3\xb6rg@y.test");
  EXPECT_EQ(utf8.code, 553);
  EXPECT_EQ(utf8.text.rfind("553 5.6.7 ", 0), 0u) << utf8.text;
  transport->Close();
  std::lock_guard<std::mutex> g(seen.m);
  std::vector<std::string> mails;
  for (const auto& c : seen.commands)
    if (c.rfind("MAIL", 0) == 0) mails.push_back(c);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0], "MAIL FROM:<a@x.test> SIZE=" + std::to_string(kQueued.size()));
  EXPECT_EQ(mails[1],
            "MAIL FROM:<a@x.test> SIZE=" + std::to_string(eight.size()) + " BODY=8BITMIME");
  EXPECT_EQ(seen.bodies.size(), 2u);

  // A hop that offers SMTPUTF8 gets the parameter with a UTF-8 envelope.
  Seen seen2;
  ScriptedPeer utf8Hop([&](PeerSession& s) { Honest(s, true, seen2, "250-SMTPUTF8\r\n"); });
  transport = MakeTransport(*ParseNextHop("lmtp:[127.0.0.1]:" + std::to_string(utf8Hop.port())),
                            TTransportOptions{"mx.test", 3000, false, 3600});
  EXPECT_EQ(SendOne(*transport, "j\xc3\xb6rg@y.test").code, 250);
  transport->Close();
  std::lock_guard<std::mutex> g2(seen2.m);
  EXPECT_NE(
      std::find(seen2.commands.begin(), seen2.commands.end(), "MAIL FROM:<a@x.test> SMTPUTF8"),
      seen2.commands.end());
}

}  // namespace
}  // namespace kestran
