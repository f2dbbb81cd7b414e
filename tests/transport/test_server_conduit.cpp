// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "support/tcp_client.h"
#include "support/wait_until.h"
#include "transport/server_conduit.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;

using test::WaitUntil;

// An echo listener on 127.0.0.1 that records its events.
class EchoListener : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = std::make_unique<TConduitListener>();
    listener_->SetBoundIP("127.0.0.1");
    listener_->OnConnect = [this](TConduitServerThread* t) {
      std::lock_guard<std::mutex> g(lock_);
      events_.push_back("connect");
      connectThreads_.insert(TThread::CurrentThreadId());
      if (connectHook_) connectHook_(t);
    };
    listener_->OnExecute = [this](TConduitServerThread* t) {
      TConduitServer* c = t->Connection();
      {
        std::lock_guard<std::mutex> g(lock_);
        ++executes_;
      }
      c->WriteLn("220 " + c->PeerAddress());
      for (;;) {
        std::string line = c->ReadLn();
        if (c->LastLineTooLong()) {
          c->WriteLn("500 too long");
        } else if (line == "QUIT") {
          c->WriteLn("221 bye");
          c->Disconnect();
          return;
        } else {
          c->WriteLn("echo " + line);
        }
      }
    };
    listener_->OnDisconnect = [this](TConduitServerThread*) {
      std::lock_guard<std::mutex> g(lock_);
      events_.push_back("disconnect");
      ++disconnects_;
    };
  }
  // The listener goes first: its sessions use the members below until it is destroyed.
  void TearDown() override { listener_.reset(); }
  void Activate() {
    listener_->SetActive(true);
    ASSERT_TRUE(listener_->Active());
    port_ = static_cast<uint16_t>(listener_->Port());
    ASSERT_NE(port_, 0);
  }
  int Disconnects() {
    std::lock_guard<std::mutex> g(lock_);
    return disconnects_;
  }
  bool NoThreads() {
    return WaitUntil([&] { return listener_->Threads().Count() == 0; });
  }
  static void ExpectLine(TcpClient& c, const std::string& want) {
    std::string line;
    ASSERT_TRUE(c.ReadLine(line)) << "waiting for " << want;
    EXPECT_EQ(line, want);
  }

  std::unique_ptr<TConduitListener> listener_;
  uint16_t port_ = 0;
  std::mutex lock_;
  std::vector<std::string> events_;
  std::set<uint64_t> connectThreads_;
  int executes_ = 0;
  int disconnects_ = 0;
  std::function<void(TConduitServerThread*)> connectHook_;
};

TEST_F(EchoListener, ConcurrentClientsEachGetAThread) {
  Activate();
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<TcpClient>(port_));
    ASSERT_TRUE(clients.back()->connected());
  }
  for (auto& c : clients) ExpectLine(*c, "220 127.0.0.1");
  for (int i = 0; i < 8; ++i) clients[i]->SendLine("hello " + std::to_string(i));
  for (int i = 0; i < 8; ++i) ExpectLine(*clients[i], "echo hello " + std::to_string(i));
  {
    std::lock_guard<std::mutex> g(lock_);
    EXPECT_EQ(connectThreads_.size(), 8u);
    EXPECT_EQ(executes_, 8);
  }
  EXPECT_EQ(listener_->Threads().Count(), 8u);
  for (auto& c : clients) {
    c->SendLine("QUIT");
    ExpectLine(*c, "221 bye");
    EXPECT_TRUE(c->WaitForClose());
  }
  EXPECT_TRUE(NoThreads());
  EXPECT_TRUE(WaitUntil([&] { return Disconnects() == 8; }));
}

TEST_F(EchoListener, ConnectionsBeyondTheLimitsNeverStartASession) {
  listener_->SetMaxConnections(2);
  Activate();
  // DoTooManyConnections is a virtual hook; the plain listener says nothing and closes.
  TcpClient a(port_), b(port_);
  ExpectLine(a, "220 127.0.0.1");
  ExpectLine(b, "220 127.0.0.1");
  TcpClient c(port_);
  bool closed = false;
  EXPECT_EQ(c.ReadUntilClose(5000, &closed), "");
  EXPECT_TRUE(closed);
  {
    std::lock_guard<std::mutex> g(lock_);
    EXPECT_EQ(events_, (std::vector<std::string>{"connect", "connect"}));
  }
  EXPECT_EQ(listener_->Threads().Count(), 2u);

  // A session that ends gives its place back.
  a.SendLine("QUIT");
  ExpectLine(a, "221 bye");
  EXPECT_TRUE(WaitUntil([&] { return listener_->ConnectionLimits().Count() == 1; }));
  TcpClient d(port_);
  ExpectLine(d, "220 127.0.0.1");

  // Per address: with no overall limit, the third from 127.0.0.1 is turned away.
  listener_->SetMaxConnections(0);
  listener_->SetMaxConnectionsPerIP(2);
  TcpClient e(port_);
  EXPECT_TRUE(e.WaitForClose());
  EXPECT_EQ(listener_->ConnectionLimits().CountFor("127.0.0.1"), 2u);
  listener_->SetMaxConnectionsPerIP(0);
  TcpClient f(port_);
  ExpectLine(f, "220 127.0.0.1");
  b.Close();
  d.Close();
  f.Close();
  EXPECT_TRUE(NoThreads());
  EXPECT_TRUE(WaitUntil([&] { return Disconnects() == 4; }));
  EXPECT_EQ(listener_->ConnectionLimits().Count(), 0u);
}

TEST_F(EchoListener, PeersThatLeaveBadly) {
  listener_->SetMaxLineLength(64);
  Activate();
  {
    // Connects and closes without a word.
    TcpClient silent(port_);
  }
  {
    // Resets in the middle of a line.
    TcpClient c(port_);
    ExpectLine(c, "220 127.0.0.1");
    c.Send("HELO half");
    c.Reset();
  }
  {
    // Closes half-way: sends a line, stops sending, still reads.
    TcpClient c(port_);
    ExpectLine(c, "220 127.0.0.1");
    c.Send("one\r\ntwo");
    c.ShutdownWrite();
    ExpectLine(c, "echo one");
    EXPECT_TRUE(c.WaitForClose());
  }
  {
    // Floods a line far over the limit, then goes on normally.
    TcpClient c(port_);
    ExpectLine(c, "220 127.0.0.1");
    c.Send(std::string(300000, 'f') + "\r\nnext\r\n");
    ExpectLine(c, "500 too long");
    ExpectLine(c, "echo next");
    // Then floods without any terminator and resets.
    c.Send(std::string(500000, 'g'));
    c.Reset();
  }
  EXPECT_TRUE(NoThreads());
  EXPECT_TRUE(WaitUntil([&] { return Disconnects() == 4; }));
  std::lock_guard<std::mutex> g(lock_);
  ASSERT_GE(events_.size(), 2u);
  EXPECT_EQ(events_.front(), "connect");
}

TEST_F(EchoListener, IdlePeerIsDisconnected) {
  listener_->SetReceiveTimeout(1);
  Activate();
  TcpClient c(port_);
  ExpectLine(c, "220 127.0.0.1");
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(c.WaitForClose(10000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_TRUE(NoThreads());
  EXPECT_EQ(Disconnects(), 1);
}

TEST_F(EchoListener, DeactivationLeavesSessionsRunning) {
  Activate();
  TcpClient c(port_);
  ExpectLine(c, "220 127.0.0.1");
  listener_->SetActive(false);
  EXPECT_FALSE(listener_->Active());
  TcpClient refused(port_);
  EXPECT_FALSE(refused.connected());
  c.SendLine("still");
  ExpectLine(c, "echo still");
  // The port is free again: another listener may take it, then give it back.
  {
    TConduitListener other;
    other.SetBoundIP("127.0.0.1");
    other.SetPort(port_);
    other.SetActive(true);
    EXPECT_TRUE(other.Active());
  }
  // Active again on the same port.
  listener_->SetActive(true);
  TcpClient again(port_);
  ExpectLine(again, "220 127.0.0.1");
  c.SendLine("QUIT");
  ExpectLine(c, "221 bye");
}

TEST_F(EchoListener, DestructionStopsEverySession) {
  Activate();
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<TcpClient>(port_));
    ExpectLine(*clients.back(), "220 127.0.0.1");
  }
  listener_.reset();
  EXPECT_EQ(Disconnects(), 5);
  for (auto& c : clients) EXPECT_TRUE(c->WaitForClose(2000));
}

TEST_F(EchoListener, StoppedSessionFailsWithASocketError) {
  // A session waiting for its client when the listener stops it sees a socket error,
  // not a peer that said goodbye.
  std::mutex seenLock;
  std::vector<std::string> seen;
  listener_->OnExecute = [&](TConduitServerThread* t) {
    t->Connection()->WriteLn("220 ready");
    try {
      t->Connection()->ReadLn();
    } catch (const Exception& e) {
      std::lock_guard<std::mutex> g(seenLock);
      seen.push_back(e.ClassName());
      throw;
    }
  };
  Activate();
  TcpClient c(port_);
  ExpectLine(c, "220 ready");
  listener_.reset();
  std::lock_guard<std::mutex> g(seenLock);
  EXPECT_EQ(seen, std::vector<std::string>{"EConduitSocketError"});
}

TEST(Listener, ActivityTimesAreLocalDateTimes) {
  // Days since 30 December 1899 in local time, as the session timer compares them.
  const double now = NowDays();
  const std::time_t t = std::time(nullptr);
  const std::tm local = *std::localtime(&t);
  using namespace std::chrono;
  const auto date = year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday;
  const double expected = sys_days{date}.time_since_epoch().count() + 25569.0 +
                          (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
  EXPECT_NEAR(now, expected, 2.0 / 86400);
}

TEST_F(EchoListener, SessionTimeout) {
  EXPECT_THROW(listener_->SetSessionTimeout(-1), Exception);
  try {
    listener_->SetSessionTimeout(-1);
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invliad SessionTimeout value.");
  }
  EXPECT_EQ(listener_->SessionTimeout(), 0);
  listener_->SetSessionTimerInterval(20);
  listener_->SetSessionTimeout(5);
  // Sessions whose peer is "old" count as idle for ten minutes.
  connectHook_ = [](TConduitServerThread* t) {
    if (t->Connection()->PeerAddress() == "127.0.0.1") {
      t->Connection()->SetLastActivity(NowDays() - 10.0 / 1440);
    }
  };
  std::atomic<int> asked{0};
  std::atomic<bool> keep{true};
  listener_->OnSessionTimeout = [&](TConduitServerThread* t, bool& keepAlive) {
    EXPECT_TRUE(t->Connection()->InTimeoutCheck());
    ++asked;
    keepAlive = keep.load();
  };
  Activate();
  TcpClient c(port_);
  ExpectLine(c, "220 127.0.0.1");
  // Kept alive once: its idle time starts again, so no further question.
  ASSERT_TRUE(WaitUntil([&] { return asked.load() >= 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(asked.load(), 1);
  c.SendLine("ping");
  ExpectLine(c, "echo ping");

  keep = false;
  TcpClient old(port_);
  ExpectLine(old, "220 127.0.0.1");
  EXPECT_TRUE(old.WaitForClose(5000));
  EXPECT_EQ(asked.load(), 2);
  EXPECT_TRUE(WaitUntil([&] { return listener_->Threads().Count() == 1; }));

  // A handler may change the time-out, which replaces the timer it runs on.
  std::atomic<bool> changed{false};
  std::atomic<int> calls{0};
  listener_->OnSessionTimeout = [&](TConduitServerThread*, bool& keepAlive) {
    keepAlive = true;
    if (calls++ == 0) {
      listener_->SetSessionTimeout(7);
      changed = true;
    }
  };
  TcpClient third(port_);
  ExpectLine(third, "220 127.0.0.1");
  EXPECT_TRUE(WaitUntil([&] { return changed.load(); }));
  EXPECT_EQ(listener_->SessionTimeout(), 7);
  third.SendLine("QUIT");
  ExpectLine(third, "221 bye");

  listener_->SetSessionTimeout(0);
  EXPECT_EQ(listener_->SessionTimeout(), 0);
}

class CountingThread : public TConduitServerThread {
 public:
  CountingThread(TConduitServer* c, std::atomic<int>* made) : TConduitServerThread(c) { ++*made; }
};

TEST_F(EchoListener, SuppliedThreadAndFailingHooks) {
  std::atomic<int> made{0};
  listener_->OnCreateThread = [&](TConduitServer* conn, TConduitServerThread*& thread) {
    thread = new CountingThread(conn, &made);
  };
  Activate();
  {
    TcpClient c(port_);
    ExpectLine(c, "220 127.0.0.1");
    c.SendLine("QUIT");
    ExpectLine(c, "221 bye");
  }
  EXPECT_EQ(made.load(), 1);
  EXPECT_TRUE(NoThreads());

  // A connect hook that raises: the connection is closed and its thread goes away.
  connectHook_ = [](TConduitServerThread*) { throw Exception("refused"); };
  {
    TcpClient c(port_);
    EXPECT_TRUE(c.WaitForClose());
  }
  EXPECT_TRUE(NoThreads());
  connectHook_ = nullptr;

  // A socket error inside a session that leaves the socket open ends the session too.
  listener_->OnExecute = [](TConduitServerThread*) { TConduit::RaiseSocketError(10060); };
  {
    TcpClient c(port_);
    EXPECT_TRUE(c.WaitForClose());
  }
  EXPECT_TRUE(NoThreads());
}

// A thread the system cannot create: its stack would be far larger than any address space.
class UnstartableThread : public TConduitServerThread {
 public:
  explicit UnstartableThread(TConduitServer* c) : TConduitServerThread(c, size_t{1} << 46) {}
};

TEST_F(EchoListener, AcceptSurvivesThreadAndHandlerFailures) {
  std::atomic<int> mode{0};
  listener_->OnCreateThread = [&](TConduitServer* conn, TConduitServerThread*& thread) {
    if (mode == 1) thread = new UnstartableThread(conn);
    if (mode == 2) throw Exception("no thread today");
  };
  Activate();
  for (int m : {1, 2}) {
    mode = m;
    TcpClient refused(port_);
    EXPECT_TRUE(refused.WaitForClose()) << "mode " << m;
  }
  EXPECT_EQ(listener_->Threads().Count(), 0u);
  mode = 0;
  TcpClient c(port_);
  ExpectLine(c, "220 127.0.0.1");
  EXPECT_EQ(Disconnects(), 0);
}

TEST(Listener, BindConflictLeavesInactive) {
  TConduitListener first;
  first.SetBoundIP("127.0.0.1");
  first.SetActive(true);
  TConduitListener second;
  second.SetBoundIP("127.0.0.1");
  second.SetPort(first.Port());
  try {
    second.SetActive(true);
    FAIL() << "no exception";
  } catch (const EConduitException& e) {
    EXPECT_EQ(e.Message(),
              "Could not bind socket. Address and port are already in use. (127.0.0.1:" +
                  std::to_string(first.Port()) + ")");
  }
  EXPECT_FALSE(second.Active());
  EXPECT_FALSE(second.Connected());
  // Stored while loading, activated by the after-loading notification.
  TConduitListener loaded;
  loaded.SetBoundIP("127.0.0.1");
  loaded.BeginLoading();
  loaded.SetActive(true);
  EXPECT_FALSE(loaded.Connected());
  loaded.Loaded();
  EXPECT_TRUE(loaded.Active());
  EXPECT_TRUE(loaded.Connected());
}

// The platform's sockets on a system without IPv6, while the object lives.
class NoIPv6 : public TWinsockIntf11 {
 public:
  NoIPv6() : previous_(SetGWinsockIntf(this)) {}
  ~NoIPv6() override { SetGWinsockIntf(previous_); }
  NoIPv6(const NoIPv6&) = delete;
  NoIPv6& operator=(const NoIPv6&) = delete;
  TSocket socket(int af, int type, int protocol) override {
    if (af != kAfInet6) return TWinsockIntf11::socket(af, type, protocol);
    SockSetLastError(10047);  // address family not supported
    return kInvalidSocket;
  }

 private:
  TWinsockIntfBase* previous_;
};

TEST(Listener, IPv6BesideIPv4OrWithoutIt) {
  std::vector<std::string> events;
  TConduitListener l;
  l.SetBoundIP("127.0.0.1");
  l.SetIPv6(true);
  l.OnListenerEvent = [&](TEventSeverity, const std::string& text) { events.push_back(text); };
  l.SetBoundIPv6("::1");
  l.SetActive(true);
  ASSERT_NE(l.IPv6Socket(), nullptr);
  EXPECT_TRUE(l.IPv6Socket()->Connected());
  l.SetActive(false);
  EXPECT_EQ(l.IPv6Socket(), nullptr);
  // An address that is no IPv6 address stops the activation.
  l.SetBoundIPv6("127.0.0.1");
  EXPECT_THROW(l.SetActive(true), EConduitException);
  EXPECT_FALSE(l.Active());
  {
    NoIPv6 system;
    // Every IPv6 address asked for: IPv4 goes on alone, with a warning.
    l.SetBoundIPv6("");
    l.SetActive(true);
    EXPECT_TRUE(l.Active());
    EXPECT_EQ(l.IPv6Socket(), nullptr);
    l.SetActive(false);
    // One IPv6 address asked for: no start without it.
    l.SetBoundIPv6("::1");
    EXPECT_THROW(l.SetActive(true), EConduitException);
    EXPECT_FALSE(l.Active());
    EXPECT_FALSE(l.Connected());
  }
  EXPECT_EQ(events, std::vector<std::string>{
                        "IPv6 is not available on this system; listening on IPv4 only."});
}

}  // namespace
}  // namespace kestran
