// test-labels: threads
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/resolver.h"
#include "platform/sockets.h"
#include "support/dns_server.h"

namespace kestran {
namespace {

std::string Dotted(const std::array<uint8_t, 4>& a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]);
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
    dns_.AddARecord("mail.kestran.test", "10.1.2.3");
    dns_.AddARecord("multi.kestran.test", "10.1.2.4");
    dns_.AddARecord("multi.kestran.test", "10.1.2.5");
    dns_.AddPtrRecord("10.1.2.3", "mail.kestran.test");
    dns_.AddNoDataName("empty.kestran.test");
    ASSERT_TRUE(dns_.Start()) << dns_.error();
    ASSERT_TRUE(SetResolverConfig(dns_.server(), 3000));
  }
  void TearDown() override { SetResolverConfig("", 0); }

  test::DnsServer dns_;
};

TEST_F(ResolverTest, ForwardAndReverse) {
  auto host = ResolveHostByName("mail.kestran.test");
  ASSERT_TRUE(host.has_value()) << SockLastError();
  EXPECT_EQ(host->h_name, "mail.kestran.test");
  ASSERT_EQ(host->h_addr_list.size(), 1u);
  EXPECT_EQ(Dotted(host->h_addr_list[0]), "10.1.2.3");

  auto multi = ResolveHostByName("multi.kestran.test");
  ASSERT_TRUE(multi.has_value());
  EXPECT_EQ(multi->h_addr_list.size(), 2u);

  auto rev = ResolveHostByAddr({10, 1, 2, 3});
  ASSERT_TRUE(rev.has_value()) << SockLastError();
  EXPECT_EQ(rev->h_name, "mail.kestran.test");

  // A dotted address needs no server.
  auto literal = ResolveHostByName("192.0.2.7");
  ASSERT_TRUE(literal.has_value());
  EXPECT_EQ(Dotted(literal->h_addr_list[0]), "192.0.2.7");
}

TEST_F(ResolverTest, NoSuchNameDiffersFromNoData) {
  EXPECT_FALSE(ResolveHostByName("missing.kestran.test").has_value());
  EXPECT_EQ(SockLastError(), 11001);
  EXPECT_FALSE(ResolveHostByName("empty.kestran.test").has_value());
  EXPECT_EQ(SockLastError(), 11004);
  EXPECT_FALSE(ResolveHostByAddr({10, 1, 2, 99}).has_value());
  EXPECT_EQ(SockLastError(), 11001);
  // Unsafe names never reach a server.
  EXPECT_FALSE(ResolveHostByName(std::string("mail\0x.kestran.test", 19)).has_value());
  EXPECT_EQ(SockLastError(), 11001);
  EXPECT_FALSE(ResolveHostByName("").has_value());
  EXPECT_FALSE(ResolveHostByName(std::string(300, 'a')).has_value());
}

TEST_F(ResolverTest, ConcurrentLookups) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        auto h = ResolveHostByName("mail.kestran.test");
        bool miss = !ResolveHostByName("missing.kestran.test") && SockLastError() == 11001;
        if (h && Dotted(h->h_addr_list[0]) == "10.1.2.3" && miss) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 80);
}

TEST(Resolver, SilentServerTimesOut) {
  test::SilentUdpPort silent;
  ASSERT_NE(silent.port(), 0);
  ASSERT_TRUE(SetResolverConfig(silent.server(), 300));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ResolveHostByName("anything.kestran.test").has_value());
  EXPECT_EQ(SockLastError(), 11002);
  EXPECT_FALSE(ResolveHostByAddr({10, 9, 8, 7}).has_value());
  EXPECT_EQ(SockLastError(), 11002);
  auto took = std::chrono::steady_clock::now() - start;
  // Both lookups gave up; neither waited for c-ares' own, much longer, schedule.
  EXPECT_LT(took, std::chrono::seconds(5));
  SetResolverConfig("", 0);
}

TEST(Resolver, ServerListParsing) {
  EXPECT_TRUE(SetResolverConfig(" 127.0.0.1:5353 , 10.0.0.1 ", 1234));
  EXPECT_EQ(ResolverServers(), "127.0.0.1:5353 , 10.0.0.1");
  EXPECT_EQ(ResolverTimeoutMs(), 1234u);
  EXPECT_FALSE(SetResolverConfig("127.0.0.1:0", 10));
  EXPECT_FALSE(SetResolverConfig("dns.example:53", 10));
  EXPECT_FALSE(SetResolverConfig("1.2.3.4:99999", 10));
  EXPECT_FALSE(SetResolverConfig("1.2.3", 10));
  EXPECT_EQ(ResolverTimeoutMs(), 1234u);  // unchanged by refused lists
  EXPECT_TRUE(SetResolverConfig("", 600000));
  EXPECT_EQ(ResolverTimeoutMs(), kMaxDnsTimeoutMs);
  EXPECT_TRUE(SetResolverConfig("", 0));
  EXPECT_EQ(ResolverTimeoutMs(), kDefaultDnsTimeoutMs);
  EXPECT_FALSE(LocalHostName().empty());
}

}  // namespace
}  // namespace kestran
