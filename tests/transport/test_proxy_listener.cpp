// test-labels: threads
// A listener behind a load balancer: connections from a trusted address begin with a
// PROXY header that names the client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tcp_client.h"
#include "support/wait_until.h"
#include "transport/server_conduit.h"

namespace kestran {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

std::string V1(const std::string& source) {
  return "PROXY TCP4 " + source + " 127.0.0.1 40000 25\r\n";
}

// PROXY, TCP over IPv6 from 2001:db8::7, with one extension record behind the addresses.
std::string V2Inet6WithExtension() {
  std::string h = kSignature + "\x21\x21" + std::string("\x00\x2a", 2);
  h += std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x07";
  h += std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x25";
  h += std::string("\x9c\x40\x00\x19", 4);
  h += std::string("\x04\x00\x03lb1", 6);
  return h;
}

class ProxiedListener : public TConduitListener {
 public:
  // The hooks below are this class's: no session may run them once it is going.
  ~ProxiedListener() override { Close(); }
  std::atomic<bool> trusted{true};
  bool ExpectsProxyHeader(const std::string& address) override {
    return trusted && address == "127.0.0.1";
  }
  void DoTooManyConnections(TConduitServer* c) override { c->WriteLn("421 too many"); }
};

using test::WaitUntil;

class ProxyListener : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = std::make_unique<ProxiedListener>();
    listener_->SetBoundIP("127.0.0.1");
    listener_->SetReceiveTimeout(5);
    listener_->OnConnect = [this](TConduitServerThread*) { ++connects_; };
    listener_->OnExecute = [](TConduitServerThread* t) {
      TConduitServer* c = t->Connection();
      c->WriteLn("220 " + c->PeerAddress());
      for (;;) {
        std::string line = c->ReadLn();
        if (line == "QUIT") {
          c->Disconnect();
          return;
        }
        c->WriteLn("echo " + line);
      }
    };
    listener_->OnListenerEvent = [this](TEventSeverity, const std::string& text) {
      std::lock_guard<std::mutex> g(lock_);
      events_.push_back(text);
    };
    listener_->SetActive(true);
    ASSERT_TRUE(listener_->Active());
    port_ = static_cast<uint16_t>(listener_->Port());
  }
  void TearDown() override { listener_.reset(); }

  static std::string Line(TcpClient& c) {
    std::string line;
    return c.ReadLine(line) ? line : "(nothing)";
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
  }

  std::unique_ptr<ProxiedListener> listener_;
  uint16_t port_ = 0;
  std::atomic<int> connects_{0};
  std::mutex lock_;
  std::vector<std::string> events_;
};

TEST_F(ProxyListener, AHeaderInPiecesAndTheFaultsThatCloseUngreeted) {
  listener_->SetReceiveTimeout(1);
  {
    // A version 2 header arriving one byte at a time, the line right behind it.
    TcpClient c(port_);
    for (char b : V2Inet6WithExtension() + "HELO x\r\n") {
      c.Send(std::string(1, b));
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(Line(c), "220 2001:db8::7");
    EXPECT_EQ(Line(c), "echo HELO x");
  }
  {
    TcpClient c(port_);
    c.Send("EHLO client.test\r\n");
    EXPECT_TRUE(c.WaitForClose());
  }
  {
    // Cut short: half a header, then the balancer stops sending.
    TcpClient c(port_);
    c.Send(V1("192.0.2.1").substr(0, 20));
    c.ShutdownWrite();
    EXPECT_TRUE(c.WaitForClose());
  }
  {
    // Silent: nothing within ReceiveTimeout.
    TcpClient c(port_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.WaitForClose(10000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  }
  {
    // A connect-only health check is no fault.
    TcpClient c(port_);
    c.Close();
  }
  EXPECT_TRUE(WaitUntil([&] { return listener_->Threads().Count() == 0; }));
  EXPECT_EQ(connects_, 1);
  EXPECT_EQ(listener_->AcceptFailures().Total(TAcceptFailureKind::ProxyHeader), 3u);
  // One event-log line for the burst: the first, naming the balancer and the cause.
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0],
            "Connections from a load balancer without a valid PROXY header were closed (1 since "
            "the last report; last cause: 127.0.0.1: no PROXY header)");
}

TEST_F(ProxyListener, ASilentBalancerIsNamedInTheSummaryAndTheListenersOwnCloseIsNoFault) {
  listener_->SetReceiveTimeout(1);
  listener_->SetFailureReportInterval(0ms);
  {
    // A health check that waits for the greeting without sending a header first.
    TcpClient c(port_);
    EXPECT_TRUE(c.WaitForClose(10000));
  }
  EXPECT_TRUE(WaitUntil([&] { return Events().size() == 1; }));
  EXPECT_EQ(Events().at(0),
            "Connections from a load balancer without a valid PROXY header were closed (1 since "
            "the last report; last cause: 127.0.0.1: nothing received within the receive "
            "time-out (a health check without a PROXY header?))");
  {
    // The same check with a shorter time-out of its own: it gives up and closes first.
    listener_->SetReceiveTimeout(5);
    TcpClient c(port_);
    std::this_thread::sleep_for(1200ms);
    c.Close();
  }
  EXPECT_TRUE(WaitUntil([&] { return Events().size() == 2; }));
  EXPECT_EQ(Events().at(1),
            "Connections from a load balancer without a valid PROXY header were closed (1 since "
            "the last report; last cause: 127.0.0.1: nothing received before the balancer "
            "closed (a health check without a PROXY header?))");
  // A balancer connection still waiting for its header when the listener stops: the
  // stop closes it, and that is counted nowhere.
  listener_->SetReceiveTimeout(0);
  TcpClient waiting(port_);
  ASSERT_TRUE(WaitUntil([&] { return listener_->Threads().Count() == 1; }));
  listener_->Close();
  EXPECT_TRUE(waiting.WaitForClose(5000));
  EXPECT_EQ(listener_->AcceptFailures().Total(TAcceptFailureKind::ProxyHeader), 2u);
  EXPECT_EQ(Events().size(), 2u);
}

TEST_F(ProxyListener, PerAddressLimitCountsTheNamedClientsNotTheBalancer) {
  listener_->SetMaxConnectionsPerIP(2);
  TcpClient a(port_), b(port_), other(port_), local(port_);
  a.Send(V1("192.0.2.1"));
  b.Send(V1("192.0.2.1"));
  other.Send(V1("192.0.2.2"));
  local.Send(kSignature + std::string("\x20\x00\x00\x00", 4));
  EXPECT_EQ(Line(a), "220 192.0.2.1");
  EXPECT_EQ(Line(b), "220 192.0.2.1");
  EXPECT_EQ(Line(other), "220 192.0.2.2");
  EXPECT_EQ(Line(local), "220 127.0.0.1");
  // Four connections from the balancer's address, none of them counted under it.
  EXPECT_EQ(listener_->ConnectionLimits().CountFor("127.0.0.1"), 0u);
  EXPECT_EQ(listener_->ConnectionLimits().CountFor("192.0.2.1"), 2u);
  EXPECT_EQ(listener_->ConnectionLimits().Count(), 4u);

  TcpClient third(port_);
  third.Send(V1("192.0.2.1") + "NOOP\r\n");
  bool closed = false;
  EXPECT_EQ(third.ReadUntilClose(5000, &closed), "421 too many\r\n");
  EXPECT_TRUE(closed);
  EXPECT_EQ(connects_, 4);

  a.SendLine("QUIT");
  EXPECT_TRUE(a.WaitForClose());
  EXPECT_TRUE(WaitUntil([&] { return listener_->ConnectionLimits().CountFor("192.0.2.1") == 1; }));
  TcpClient again(port_);
  again.Send(V1("192.0.2.1"));
  EXPECT_EQ(Line(again), "220 192.0.2.1");
  EXPECT_TRUE(Events().empty());
}

}  // namespace
}  // namespace kestran
