// IPv6 clients from several sources, in a network namespace of the test's own with
// documentation addresses on its loopback: the per-prefix connection limit and the
// ranges. Needs root (skipped without it, except in CI, where it must run).

#include <sched.h>

#include <cstdlib>

#include "platform/resolver.h"
#include "smtp_fixture.h"
#include "support/dns_server.h"

namespace kestran::testing_smtp {
namespace {

// Moves the process's main thread into a network namespace of its own with lo up and the
// given addresses on it, once per process. The listener's and the clients' sockets are made
// from this thread; the sessions run on pooled threads made after it, which stay in the
// namespace they were made in, so every test of the program shares the one namespace (its
// lookups then reach the test's name server on 127.0.0.1 there).
bool EnterNamespaceWith(const std::vector<std::string>& addresses, std::string& why) {
  static bool entered = false;
  if (entered) return true;
  if (::geteuid() != 0) {
    why = "not root";
    return false;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    why = "unshare(CLONE_NEWNET) failed";
    return false;
  }
  std::string cmd = "ip link set lo up";
  for (const auto& a : addresses) cmd += " && ip -6 addr add " + a + "/64 dev lo nodad";
  if (std::system(cmd.c_str()) != 0) {
    why = "ip failed: " + cmd;
    return false;
  }
  entered = true;
  return true;
}

class Ipv6Sources : public SmtpTest {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterNamespaceWith({"2001:db8:1::1", "2001:db8:1::2", "2001:db8:1::3", "2001:db8:1::4",
                             "2001:db8:2::1", "2001:db8:2::2"},
                            why)) {
      if (std::getenv("CI") == nullptr) GTEST_SKIP() << why;
      FAIL() << why;
    }
    SmtpTest::SetUp();
    server_->SetIPv6(true);  // every local IPv6 address
    server_->SetLocalDomains({"corp.example"});
  }
  void TearDown() override {
    SmtpTest::TearDown();
    SetResolverConfig("", 0);
  }
};

TEST_F(Ipv6Sources, OnePrefixIsOneClientForTheLimitPerAddress) {
  server_->SetMaxConnectionsPerIP(3);
  Start();
  std::vector<std::unique_ptr<RawClient>> held;
  for (const char* from : {"2001:db8:1::1", "2001:db8:1::2", "2001:db8:1::3"}) {
    held.push_back(Connect(from));
    EXPECT_EQ(held.back()->Cmd("HELO a"), std::string("250 OK a (unverified [IPv6:") + from + "])");
  }
  // A fourth address of the same /64 is the same client; the other /64 is not.
  RawClient fourth(port_, 10000, "2001:db8:1::4");
  ASSERT_TRUE(fourth.Connected());
  EXPECT_EQ(fourth.ReadLine().substr(0, 3), "421");
  auto other = Connect("2001:db8:2::1");
  auto other2 = Connect("2001:db8:2::2");
  EXPECT_EQ(server_->ConnectionLimits().CountFor("2001:db8:1::ffff"), 3u);
  EXPECT_EQ(server_->ConnectionLimits().CountFor("2001:db8:2::"), 2u);

  // With the whole address as one client the same connection is admitted.
  held.clear();
  other.reset();
  other2.reset();
  server_->SetActive(false);
  server_->SetIPv6PrefixLength(128);
  server_->SetActive(true);
  for (const char* from : {"2001:db8:1::1", "2001:db8:1::2", "2001:db8:1::3", "2001:db8:1::4"})
    held.push_back(Connect(from));
  EXPECT_EQ(server_->ConnectionLimits().CountFor("2001:db8:1::4"), 1u);
}

TEST_F(Ipv6Sources, RangesSeparateSourcesOfOneHost) {
  server_->SetLocalNets({*ParseNet("2001:db8:1::/64")});
  server_->SetLocalBlackListNotice("black");
  server_->SetLocalBlackList({*ParseNet("2001:db8:2::2/128")});
  Start();
  auto local = Connect("2001:db8:1::3");
  EXPECT_EQ(local->Cmd("RCPT TO:<x@foreign.example>"), "250 OK <x@foreign.example>");
  auto outside = Connect("2001:db8:2::1");
  EXPECT_EQ(outside->Cmd("RCPT TO:<x@foreign.example>"),
            "550 <x@foreign.example>... Relaying denied");
  EXPECT_EQ(outside->Cmd("RCPT TO:<v@corp.example>"), "250 OK <v@corp.example>");
  auto black = Connect("2001:db8:2::2");
  EXPECT_EQ(black->Cmd("RCPT TO:<v@corp.example>"), "554 access denied, black");
}

TEST_F(Ipv6Sources, NamesComeFromIp6ArpaAndBlockListsFromTheNibbleZone) {
  if (!test::DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
  test::DnsServer dns;  // on 127.0.0.1 of the namespace
  dns.AddPtrRecord("2001:db8:1::3", "three.example.test");
  dns.AddARecord("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.2.0.0.0.8.b.d.0.1.0.0.2.bl.example.test",
                 "127.0.0.2");
  ASSERT_TRUE(dns.Start()) << dns.error();
  ASSERT_TRUE(SetResolverConfig(dns.server(), 2000));
  server_->SetDoVerifyDomain(true);
  server_->SetDoDNSLists(true);
  server_->SetDNSLists({"bl.example.test"});
  server_->SetHeaderText({"listed %s"});
  Start();
  auto named = Connect("2001:db8:1::3");
  EXPECT_EQ(named->Cmd("HELO a"), "250 OK a (three.example.test [IPv6:2001:db8:1::3])");
  EXPECT_EQ(named->Cmd("RCPT TO:<v@corp.example>"), "250 OK <v@corp.example>");
  auto listed = Connect("2001:db8:2::1");
  EXPECT_EQ(listed->Cmd("HELO b"), "250 OK b (unverified [IPv6:2001:db8:2::1]), access restricted");
  EXPECT_EQ(listed->Cmd("RCPT TO:<v@corp.example>"), "554 access denied, listed 2001:db8:2::1");
}

}  // namespace
}  // namespace kestran::testing_smtp
