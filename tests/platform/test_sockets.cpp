// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sockets.h"

namespace kestran {
namespace {

TSockAddrIn Loopback(uint16_t port) {
  TSockAddrIn a;
  a.sin_port = SockHtons(port);
  a.sin_addr = SockInetAddr("127.0.0.1");
  return a;
}

// A listening socket on 127.0.0.1 with a port chosen by the system.
struct Listening {
  TSocket s = SockSocket(kAfInet, kSockStream, 0);
  uint16_t port = 0;
  Listening() {
    TSockAddrIn a = Loopback(0);
    EXPECT_EQ(SockBind(s, &a, sizeof a), 0);
    EXPECT_EQ(SockListen(s, 5), 0);
    int len = sizeof a;
    EXPECT_EQ(SockGetSockName(s, &a, &len), 0);
    port = SockNtohs(a.sin_port);
  }
  ~Listening() {
    if (s != kInvalidSocket) SockClose(s);
  }
};

// A connected pair: client and the accepted server side.
struct Pair {
  Listening l;
  TSocket client = SockSocket(kAfInet, kSockStream, 0);
  TSocket server = kInvalidSocket;
  Pair() {
    TSockAddrIn a = Loopback(l.port);
    EXPECT_EQ(SockConnect(client, &a, sizeof a), 0);
    TSockAddrIn peer;
    int len = sizeof peer;
    server = SockAccept(l.s, &peer, &len);
    EXPECT_NE(server, kInvalidSocket);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(SockInetNtoa(peer.sin_addr), "127.0.0.1");
  }
  ~Pair() {
    if (client != kInvalidSocket) SockClose(client);
    if (server != kInvalidSocket) SockClose(server);
  }
};

TEST(Sockets, AddressConversions) {
  EXPECT_EQ(SockInetNtoa(SockInetAddr("192.168.1.2")), "192.168.1.2");
  EXPECT_EQ(SockInetAddr("not an address"), kInAddrNone);
  EXPECT_EQ(SockInetAddr(std::string("10.0.0.1\0x", 10)), kInAddrNone);
  EXPECT_EQ(SockNtohs(SockHtons(25)), 25);
  char name[256];
  ASSERT_EQ(SockGetHostName(name, sizeof name), 0);
  EXPECT_GT(std::string(name).size(), 0u);
  char tiny[1];
  EXPECT_EQ(SockGetHostName(tiny, sizeof tiny), -1);
}

TEST(Sockets, ErrorsMapToWindowsCodes) {
  // Nothing listens on a port just released.
  uint16_t port;
  {
    Listening l;
    port = l.port;
  }
  TSocket s = SockSocket(kAfInet, kSockStream, 0);
  TSockAddrIn a = Loopback(port);
  EXPECT_EQ(SockConnect(s, &a, sizeof a), -1);
  EXPECT_EQ(SockLastError(), 10061);
  SockClose(s);

  Listening held;
  TSocket other = SockSocket(kAfInet, kSockStream, 0);
  TSockAddrIn b = Loopback(held.port);
  EXPECT_EQ(SockBind(other, &b, sizeof b), -1);
  EXPECT_EQ(SockLastError(), 10048);
  SockClose(other);

  char buf[4];
  EXPECT_EQ(SockRecv(kInvalidSocket, buf, 4, 0), -1);
  EXPECT_EQ(SockLastError(), 10038);
  EXPECT_EQ(SockSocket(kAfInet, 77, 0), kInvalidSocket);
  EXPECT_EQ(SockLastError(), 10044);
  EXPECT_EQ(SockSetOpt(held.s, kSolSocket, 0x7777, buf, 4), -1);
  EXPECT_EQ(SockLastError(), 10042);
}

TEST(Sockets, TransferCloseAndReset) {
  Pair p;
  ASSERT_EQ(SockSend(p.client, "hello", 5, 0), 5);
  char buf[16];
  ASSERT_EQ(SockRecv(p.server, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  // Orderly close: 0 bytes.
  SockShutdown(p.client, kSdSend);
  EXPECT_EQ(SockRecv(p.server, buf, sizeof buf, 0), 0);

  // Reset by the peer: the receive fails with 10054, a send after it never raises a
  // signal and fails too.
  Pair q;
  TLinger l;
  l.l_onoff = 1;
  ASSERT_EQ(
      SockSetOpt(q.client, kSolSocket, kSoLinger, reinterpret_cast<const char*>(&l), sizeof l), 0);
  SockClose(q.client);
  q.client = kInvalidSocket;
  EXPECT_EQ(SockRecv(q.server, buf, sizeof buf, 0), -1);
  EXPECT_EQ(SockLastError(), 10054);
  int rc = 0;
  for (int i = 0; i < 3 && rc >= 0; ++i) rc = SockSend(q.server, "x", 1, 0);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(SockLastError() == 10058 || SockLastError() == 10054) << SockLastError();
}

TEST(Sockets, ReceiveTimeoutIs10060) {
  Pair p;
  uint32_t ms = 100;
  ASSERT_EQ(
      SockSetOpt(p.server, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&ms), sizeof ms),
      0);
  uint32_t back = 0;
  int len = sizeof back;
  ASSERT_EQ(SockGetOpt(p.server, kSolSocket, kSoRcvTimeo, reinterpret_cast<char*>(&back), &len), 0);
  EXPECT_EQ(back, 100u);
  char buf[4];
  EXPECT_EQ(SockRecv(p.server, buf, sizeof buf, 0), -1);
  EXPECT_EQ(SockLastError(), 10060);
}

TEST(Sockets, ShutdownWakesBlockedAcceptAndReceive) {
  Listening l;
  std::atomic<int> acceptError{0};
  std::thread acceptor([&] {
    TSockAddrIn peer;
    int len = sizeof peer;
    if (SockAccept(l.s, &peer, &len) == kInvalidSocket) acceptError = SockLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SockShutdown(l.s, kSdBoth);
  acceptor.join();
  EXPECT_EQ(acceptError.load(), 10004);

  Pair p;
  std::atomic<int> received{-5};
  std::thread reader([&] {
    char buf[4];
    received = SockRecv(p.server, buf, sizeof buf, 0);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SockShutdown(p.server, kSdBoth);
  reader.join();
  EXPECT_EQ(received.load(), 0);
}

TEST(Sockets, SelectReportsReadableSockets) {
  Pair p;
  TFdSet r;
  r.fd_count = 1;
  r.fd_array[0] = p.server;
  TTimeVal t;
  t.tv_usec = 10000;
  EXPECT_EQ(SockSelect(0, &r, nullptr, nullptr, &t), 0);
  EXPECT_EQ(r.fd_count, 0u);
  ASSERT_EQ(SockSend(p.client, "x", 1, 0), 1);
  r.fd_count = 1;
  r.fd_array[0] = p.server;
  t.tv_sec = 2;
  EXPECT_EQ(SockSelect(0, &r, nullptr, nullptr, &t), 1);
  EXPECT_EQ(r.fd_array[0], p.server);
}

}  // namespace
}  // namespace kestran
