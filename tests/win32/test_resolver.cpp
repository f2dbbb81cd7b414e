#include "platform/os_win32.h"
// (the Windows headers first)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/resolver.h"
#include "platform/sockets.h"

namespace kestran {
namespace {

// A DNS server on 127.0.0.1 with a few fixed answers, on a thread of its own.
class TinyDns {
 public:
  TinyDns() {
    WSADATA d;
    ::WSAStartup(MAKEWORD(1, 1), &d);
    s_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TinyDns() {
    stop_ = true;
    ::closesocket(s_);
    thread_.join();
  }
  uint16_t Port() const { return port_; }
  int Queries() const { return queries_.load(); }

 private:
  void Serve() {
    char buf[512];
    while (!stop_) {
      sockaddr_in from{};
      int fromLen = sizeof from;
      int n = ::recvfrom(s_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n < 12) {
        if (stop_ || n < 0) return;
        continue;
      }
      ++queries_;
      std::string q(buf, static_cast<size_t>(n));
      std::string name;
      size_t p = 12;
      while (p < q.size() && q[p] != 0) {
        size_t len = static_cast<uint8_t>(q[p]);
        if (!name.empty()) name += '.';
        name += q.substr(p + 1, len);
        p += 1 + len;
      }
      std::string question = q.substr(12, p + 5 - 12);
      int rcode = 0;
      std::string answer;
      uint16_t count = 0;
      if (name == "host.example.test") {
        answer = Record(1, std::string("\xc0\x00\x02\x07", 4));
        count = 1;
      } else if (name == "2.0.0.127.bl.test") {
        answer = Record(1, std::string("\x7f\x00\x00\x02", 4));
        count = 1;
      } else if (name == "7.2.0.192.in-addr.arpa") {
        answer = Record(12, std::string("\x04host\x07"
                                        "example\x04test\x00",
                                        19));
        count = 1;
      } else if (name ==
                 "7.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa") {
        answer = Record(12, std::string("\x03six\x07"
                                        "example\x04test\x00",
                                        18));
        count = 1;
      } else if (name == "fail.test") {
        rcode = 2;
      } else if (name == "silent.test") {
        continue;
      } else if (name != "nodata.test") {
        rcode = 3;
      }
      std::string r = q.substr(0, 2);
      r += static_cast<char>(0x81);
      r += static_cast<char>(0x80 | rcode);
      r += std::string("\x00\x01\x00", 3) + static_cast<char>(count) + std::string(4, '\0');
      r += question + answer;
      ::sendto(s_, r.data(), static_cast<int>(r.size()), 0, reinterpret_cast<sockaddr*>(&from),
               fromLen);
    }
  }
  // An answer to the question (name by pointer to offset 12), class IN, TTL 60.
  static std::string Record(uint16_t type, const std::string& rdata) {
    std::string r("\xc0\x0c\x00", 3);
    r += static_cast<char>(type);
    r += std::string("\x00\x01\x00\x00\x00\x3c\x00", 7);
    r += static_cast<char>(rdata.size());
    return r + rdata;
  }

  SOCKET s_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

class ResolverTest : public ::testing::Test {
 protected:
  void TearDown() override { SetResolverConfig("", 0); }
};

TEST_F(ResolverTest, ConfiguredServersAnswerEveryKindOfLookup) {
  TinyDns dns;
  ASSERT_TRUE(SetResolverConfig(" 127.0.0.1:" + std::to_string(dns.Port()) + " ", 1500));
  EXPECT_EQ(ResolverServers(), "127.0.0.1:" + std::to_string(dns.Port()));
  EXPECT_EQ(ResolverTimeoutMs(), 1500u);

  auto host = ResolveHostByName("host.example.test");
  ASSERT_TRUE(host.has_value()) << SockLastError();
  EXPECT_EQ(host->h_name, "host.example.test");
  ASSERT_EQ(host->h_addr_list.size(), 1u);
  EXPECT_EQ(host->h_addr_list[0], (std::array<uint8_t, 4>{192, 0, 2, 7}));

  auto listed = ResolveHostByName("2.0.0.127.bl.test");
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(listed->h_addr_list[0], (std::array<uint8_t, 4>{127, 0, 0, 2}));

  auto back = ResolveHostByAddr({192, 0, 2, 7});
  ASSERT_TRUE(back.has_value()) << SockLastError();
  EXPECT_EQ(back->h_name, "host.example.test");

  EXPECT_FALSE(ResolveHostByName("missing.test").has_value());
  EXPECT_EQ(SockLastError(), 11001);
  EXPECT_FALSE(ResolveHostByName("nodata.test").has_value());
  EXPECT_EQ(SockLastError(), 11004);
  EXPECT_FALSE(ResolveHostByName("fail.test").has_value());
  EXPECT_EQ(SockLastError(), 11002);
  EXPECT_FALSE(ResolveHostByAddr({192, 0, 2, 99}).has_value());
  EXPECT_EQ(SockLastError(), 11001);
  // An IPv6 address is asked under ip6.arpa, nibble by nibble.
  std::array<uint8_t, 16> six{0x20, 0x01, 0x0d, 0xb8};
  six[15] = 7;
  auto back6 = ResolveHostByAddr6(six);
  ASSERT_TRUE(back6.has_value()) << SockLastError();
  EXPECT_EQ(back6->h_name, "six.example.test");
  EXPECT_TRUE(back6->h_addr_list.empty());
  six[15] = 8;
  EXPECT_FALSE(ResolveHostByAddr6(six).has_value());
  EXPECT_EQ(SockLastError(), 11001);

  // A dotted address and a name with control characters never reach the server.
  int before = dns.Queries();
  auto dotted = ResolveHostByName("10.9.8.7");
  ASSERT_TRUE(dotted.has_value());
  EXPECT_EQ(dotted->h_addr_list[0], (std::array<uint8_t, 4>{10, 9, 8, 7}));
  EXPECT_FALSE(ResolveHostByName("bad\r\nname").has_value());
  EXPECT_EQ(SockLastError(), 11001);
  EXPECT_EQ(dns.Queries(), before);
}

TEST_F(ResolverTest, SilentServerFailsWithinTheTimeout) {
  TinyDns dns;
  ASSERT_TRUE(SetResolverConfig("127.0.0.1:" + std::to_string(dns.Port()), 400));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ResolveHostByName("silent.test").has_value());
  EXPECT_EQ(SockLastError(), 11002);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(5));  // bounded by the time-out, not by the system
  EXPECT_GE(dns.Queries(), 1);
}

TEST_F(ResolverTest, MalformedServerListKeepsThePreviousOne) {
  ASSERT_TRUE(SetResolverConfig("127.0.0.1:5353,10.0.0.1", 0));
  EXPECT_EQ(ResolverTimeoutMs(), kDefaultDnsTimeoutMs);
  for (const char* bad : {"127.0.0.1:0", "127.0.0.1:70000", "1.2.3", "host.test", "1.2.3.4:x"})
    EXPECT_FALSE(SetResolverConfig(bad, 100)) << bad;
  EXPECT_EQ(ResolverServers(), "127.0.0.1:5353,10.0.0.1");
  EXPECT_FALSE(LocalHostName().empty());
}

}  // namespace
}  // namespace kestran
