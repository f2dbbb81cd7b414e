// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "transport/conduit.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

using namespace std::chrono_literals;

// A client-side connection linked to a raw peer socket on 127.0.0.1.
class ConduitPair : public ::testing::Test {
 protected:
  void SetUp() override {
    TSocket listening = SockSocket(kAfInet, kSockStream, 0);
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    ASSERT_EQ(SockBind(listening, &a, sizeof a), 0);
    ASSERT_EQ(SockListen(listening, 5), 0);
    int len = sizeof a;
    ASSERT_EQ(SockGetSockName(listening, &a, &len), 0);
    conn_.AllocateSocket(kSockStream);
    ASSERT_EQ(GWinsockIntf().connect(conn_.Handle(), &a, sizeof a), 0);
    peer_ = SockAccept(listening, nullptr, nullptr);
    SockClose(listening);
    ASSERT_NE(peer_, kInvalidSocket);
    conn_.SetPeerAddress("127.0.0.1");
  }
  void TearDown() override { ClosePeer(); }

  void Send(const std::string& bytes) {
    ASSERT_EQ(SockSend(peer_, bytes.data(), static_cast<int>(bytes.size()), 0),
              static_cast<int>(bytes.size()));
  }
  // Sends the pieces one after the other with pauses, so they arrive in separate receives.
  std::thread SendSlowly(std::vector<std::string> pieces) {
    return std::thread([this, pieces] {
      for (const std::string& p : pieces) {
        SockSend(peer_, p.data(), static_cast<int>(p.size()), 0);
        std::this_thread::sleep_for(20ms);
      }
    });
  }
  std::string PeerRead(size_t count) {
    std::string out;
    char buf[4096];
    while (out.size() < count) {
      int n = SockRecv(peer_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  void ClosePeer() {
    if (peer_ != kInvalidSocket) SockClose(peer_);
    peer_ = kInvalidSocket;
  }
  void ResetPeer() {
    TLinger l;
    l.l_onoff = 1;
    SockSetOpt(peer_, kSolSocket, kSoLinger, reinterpret_cast<const char*>(&l), sizeof l);
    ClosePeer();
  }

  TConduitSocket conn_;
  TSocket peer_ = kInvalidSocket;
};

TEST_F(ConduitPair, LinesAcrossReceives) {
  std::thread sender = SendSlowly({"HEL", "O x", "\r", "\nabc\ndef\r\n\r\nA\r\nB\r\n"});
  EXPECT_EQ(conn_.ReadLn(), "HELO x");
  EXPECT_EQ(conn_.ReadLn(), "abc\ndef");  // a lone LF is text
  EXPECT_EQ(conn_.ReadLn(), "");
  EXPECT_EQ(conn_.ReadLn(), "A");
  EXPECT_EQ(conn_.ReadLn(), "B");
  EXPECT_FALSE(conn_.LastLineTooLong());
  sender.join();

  Send(std::string("nul\0byte\r\n\r\n \t \r\n  kept  \r\n", 27));
  EXPECT_EQ(conn_.ReadLn(), std::string("nul\0byte", 8));
  EXPECT_EQ(conn_.ReadLnSkipEmpty(), "kept");
  EXPECT_EQ(conn_.UnreadCount(), 0u);

  // Many lines in one receive, and a buffer that has to grow and shrink again.
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "line " + std::to_string(i) + "\r\n";
  std::string big(50000, 'b');
  std::thread bulk = SendSlowly({many, big + "\r\n", "tail\r\n"});
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(conn_.ReadLn(), "line " + std::to_string(i));
  EXPECT_EQ(conn_.ReadLn(), big);
  EXPECT_EQ(conn_.ReadLn(), "tail");
  bulk.join();

  // A plain connection holds a line of any length and waits without a time limit.
  EXPECT_EQ(conn_.MaxLineLength(), 0u);
  EXPECT_EQ(conn_.ReceiveTimeout(), 0u);
  std::string huge(200000, 'h');
  std::thread large = SendSlowly({huge.substr(0, 100000), huge.substr(100000) + "\r\n"});
  EXPECT_EQ(conn_.ReadLn(), huge);
  EXPECT_FALSE(conn_.LastLineTooLong());
  large.join();
}

TEST_F(ConduitPair, GracefulCloseKeepsCompleteLines) {
  Send("QUIT\r\n");
  ClosePeer();
  EXPECT_EQ(conn_.ReadLn(), "QUIT");
  EXPECT_THROW(conn_.ReadLn(), EConduitConnClosedGraceful);
  EXPECT_FALSE(conn_.Connected());
  EXPECT_EQ(conn_.PeerAddress(), "");
}

TEST_F(ConduitPair, CloseInsideALineIsASocketError) {
  Send("QUI");
  ClosePeer();
  try {
    conn_.ReadLn();
    FAIL() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
  }
  EXPECT_FALSE(conn_.Connected());
  // Writing on the closed connection.
  EXPECT_NO_THROW(conn_.Write(""));
  EXPECT_THROW(conn_.Write("x"), EConduitClosedSocket);
  conn_.Disconnect();  // a second disconnect does nothing
  EXPECT_FALSE(conn_.Connected());
}

TEST_F(ConduitPair, ResetByPeer) {
  Send("partial");
  ResetPeer();
  try {
    conn_.ReadLn();
    FAIL() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_EQ(std::string(e.what()), "Socket Error #10054\r\nConnection reset by peer.");
  }
}

TEST_F(ConduitPair, OverLongLines) {
  conn_.SetMaxLineLength(10);
  // Exactly at the limit, one over, much longer across receives with the terminator
  // split, and the connection stays usable throughout.
  std::thread sender =
      SendSlowly({"0123456789\r\n", "0123456789A\r\nok\r\n", std::string(5000, 'x'),
                  std::string(7000, 'y') + "\r", "\nafter\r\n", "abcdefghij\r", "\n"});
  EXPECT_EQ(conn_.ReadLn(), "0123456789");
  EXPECT_FALSE(conn_.LastLineTooLong());
  EXPECT_EQ(conn_.ReadLn(), "0123456789");
  EXPECT_TRUE(conn_.LastLineTooLong());
  EXPECT_EQ(conn_.ReadLn(), "ok");
  EXPECT_FALSE(conn_.LastLineTooLong());
  EXPECT_EQ(conn_.ReadLn(), "xxxxxxxxxx");
  EXPECT_TRUE(conn_.LastLineTooLong());
  EXPECT_EQ(conn_.ReadLn(), "after");
  EXPECT_FALSE(conn_.LastLineTooLong());
  EXPECT_EQ(conn_.ReadLn(), "abcdefghij");
  EXPECT_FALSE(conn_.LastLineTooLong());
  sender.join();
  EXPECT_TRUE(conn_.Connected());
  conn_.WriteLn("still here");
  EXPECT_EQ(PeerRead(12), "still here\r\n");
}

TEST_F(ConduitPair, FloodWithoutTerminatorStaysBounded) {
  conn_.SetMaxLineLength(1000);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    std::string chunk(64 * 1024, 'z');
    for (int i = 0; i < 64 && !stop; ++i)
      SockSend(peer_, chunk.data(), static_cast<int>(chunk.size()), 0);
    SockSend(peer_, "\r\nend\r\n", 7, 0);
  });
  EXPECT_EQ(conn_.ReadLn(), std::string(1000, 'z'));
  EXPECT_TRUE(conn_.LastLineTooLong());
  EXPECT_LT(conn_.UnreadCount(), 70000u);
  EXPECT_EQ(conn_.ReadLn(), "end");
  stop = true;
  flood.join();
}

TEST_F(ConduitPair, IdleTimeoutIs10060AndKeepsConnection) {
  conn_.SetReceiveTimeout(1);
  auto start = std::chrono::steady_clock::now();
  try {
    conn_.ReadLn();
    FAIL() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10060);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_TRUE(conn_.Connected());
  Send("late\r\n");
  EXPECT_EQ(conn_.ReadLn(), "late");
}

TEST_F(ConduitPair, WriteToAPeerThatNeverReadsTimesOut) {
  conn_.SetReceiveTimeout(1);
  try {
    conn_.Write(std::string(64 * 1024 * 1024, 'w'));
    FAIL() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10060);
  }
}

TEST_F(ConduitPair, OneTimeOutBoundsAStalledWriteAndTheLastReply) {
  conn_.SetReceiveTimeout(1);
  // The peer takes a little now and then, so that every send moves some bytes: the
  // whole write still ends when its one time-out has run out.
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    char buf[256];
    while (!stop) {
      SockRecv(peer_, buf, sizeof buf, 0);
      std::this_thread::sleep_for(200ms);
    }
  });
  auto start = std::chrono::steady_clock::now();
  try {
    conn_.Write(std::string(64 * 1024 * 1024, 'w'));
    ADD_FAILURE() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10060);
  }
  // A last reply to a peer that does not read is tried, never waited for.
  try {
    conn_.WriteLn("421 closing");
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10060);
  }
  auto spent = std::chrono::steady_clock::now() - start;
  stop = true;
  trickle.join();
  EXPECT_LT(spent, 1900ms);
}

TEST_F(ConduitPair, DisconnectFromAnotherThreadWakesReader) {
  std::atomic<bool> raised{false};
  std::thread reader([&] {
    try {
      conn_.ReadLn();
    } catch (const EConduitException&) {
      raised = true;
    }
  });
  std::this_thread::sleep_for(50ms);
  conn_.CloseSocket();
  reader.join();
  EXPECT_TRUE(raised);
  EXPECT_FALSE(conn_.Connected());
}

TEST_F(ConduitPair, FilterWorkAndBlockReads) {
  std::vector<std::pair<int32_t, int32_t>> work;
  conn_.OnWork = [&](TConduitBase*, int32_t w, int32_t size) { work.emplace_back(w, size); };
  Send(std::string(500, 'a'));
  EXPECT_EQ(conn_.ReadBuffer(500).size(), 500u);
  EXPECT_TRUE(work.empty());
  Send(std::string(1000, 'b'));
  EXPECT_EQ(conn_.ReadBuffer(1000), std::string(1000, 'b'));
  Send(std::string(1500, 'c'));
  EXPECT_EQ(conn_.ReadBuffer(1500), std::string(1500, 'c'));
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(work[0].first, 1500);
  EXPECT_EQ(work[1].first, 3000);
  EXPECT_EQ(conn_.ReadBuffer(0), "");

  Send("\xC1\x41\r\n");
  EXPECT_EQ(conn_.ReadLn(), "\xC1\x41");
  conn_.SetASCIIFilter(true);
  Send("\xC1\xFF\r\n");
  EXPECT_EQ(conn_.ReadLn(), "\x41\x7F");

  int32_t chunk = conn_.BufferChunk();
  conn_.SetBufferChunk(100);
  EXPECT_EQ(conn_.BufferChunk(), chunk);  // not while connected
}

TEST_F(ConduitPair, ResponsesAndCommands) {
  Send("250-a\r\n250-b\r\n250 c\r\n+OK ready\r\n-ERR no\r\nabc def\r\n");
  EXPECT_EQ(conn_.GetResponse(), 250);
  EXPECT_EQ(conn_.ResponseLines(), (std::vector<std::string>{"250-a", "250-b", "250 c"}));
  EXPECT_EQ(conn_.LastResponse(), "250 c");
  EXPECT_EQ(conn_.GetResponse(), 1);
  EXPECT_TRUE(conn_.ResponseLines().empty());
  EXPECT_EQ(conn_.GetResponse(), 0);
  EXPECT_EQ(conn_.GetResponse(), 0);
  // A short reply still counts by its leading number.
  Send("25\r\n-12 x\r\n4\r\n");
  EXPECT_EQ(conn_.GetResponse(), 25);
  EXPECT_EQ(conn_.GetResponse(), -12);
  EXPECT_EQ(conn_.GetResponse(), 4);

  std::ostringstream capture;
  conn_.SetCaptureStream(&capture);
  std::vector<std::string> status;
  conn_.OnStatus = [&](TConduitBase*, const std::string& s) { status.push_back(s); };
  Send("220 hi\r\n550 no\r\n221 bye\r\n");
  EXPECT_EQ(conn_.SendCmd("NOOP", 220, 1, "*"), 220);
  EXPECT_EQ(PeerRead(6), "NOOP\r\n");
  EXPECT_THROW(conn_.SendCmd("RSET", 250), EConduitResponseError);
  EXPECT_EQ(status, (std::vector<std::string>{"  220 hi"}));
  conn_.OnStatus = [](TConduitBase*, const std::string&) { throw EConduitException("boom"); };
  try {
    conn_.SendCmd("QUIT", 221, 0, "done");
    FAIL() << "no exception";
  } catch (const EConduitException& e) {
    EXPECT_EQ(e.Message(), "boom occurred in user's OnStatus Event.");
  }
  EXPECT_NE(capture.str().find("I: 220 hi\r\n"), std::string::npos);
  EXPECT_NE(capture.str().find("O: NOOP"), std::string::npos);
}

TEST(Conduit, BindAndAllocate) {
  TConduit a;
  a.AllocateSocket(kSockStream);
  a.SetBoundIP("127.0.0.1");
  a.Bind();
  a.Listen();
  TSockAddrIn local;
  int len = sizeof local;
  ASSERT_EQ(SockGetSockName(a.Handle(), &local, &len), 0);

  TConduit b;
  b.AllocateSocket(kSockStream);
  b.SetBoundIP("127.0.0.1");
  b.SetPort(SockNtohs(local.sin_port));
  try {
    b.Bind();
    FAIL() << "no exception";
  } catch (const EConduitSocketError&) {
    FAIL() << "wrong class";
  } catch (const EConduitException& e) {
    EXPECT_EQ(e.Message(),
              "Could not bind socket. Address and port are already in use. (127.0.0.1:" +
                  std::to_string(SockNtohs(local.sin_port)) + ")");
  }
  b.SetBoundIP("not.an.address");
  b.SetPort(0);
  EXPECT_THROW(b.Bind(), EConduitSocketError);
  EXPECT_THROW(b.AllocateSocket(99), EConduitInvalidSocket);
  EXPECT_FALSE(b.Connected());
}

}  // namespace
}  // namespace kestran
