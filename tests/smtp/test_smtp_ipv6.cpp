// Sessions of IPv6 clients on [::1]: the listener beside the IPv4 one, the address in
// replies and headers, the address lists, block lists under a nibble zone and the
// reverse name under ip6.arpa, against a private DNS server.

#include <chrono>
#include <thread>

#include "platform/resolver.h"
#include "smtp_fixture.h"
#include "support/dns_server.h"

namespace kestran::testing_smtp {
namespace {

class Ipv6Session : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetIPv6(true);
    server_->SetBoundIPv6("::1");
    server_->SetLocalDomains({"corp.example", "[IPv6:2001:DB8:0::25]", "[192.0.2.25]"});
    CaptureLog();
  }
  void TearDown() override {
    SmtpTest::TearDown();
    SetResolverConfig("", 0);
  }
  // The lists are settings read by running sessions: change them only once every session
  // has ended.
  void WaitForNoSessions() {
    for (int i = 0; i < 1000 && server_->ConnectionLimits().Count() != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server_->ConnectionLimits().Count(), 0u);
  }
};

TEST_F(Ipv6Session, ClientOnLoopbackGetsLiteralsInRepliesAndHeaderAndPlainTextInLogs) {
  server_->SetExtendedErrorRecording(true);
  Start();
  {
    // The IPv4 listener is unchanged beside it.
    auto c = Connect();
    EXPECT_EQ(c->Cmd("HELO a"), "250 OK a (unverified [127.0.0.1])");
  }
  auto c = Connect("::1");
  EXPECT_EQ(c->Cmd("HELO [IPv6:::1]"), "250 OK [IPv6:::1] (unverified [IPv6:::1])");
  EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "550 <x@foreign.example>... Relaying denied");
  // An address literal in any spelling of a local one is local.
  EXPECT_EQ(c->Cmd("RCPT TO:<u@[IPv6:2001:db8::25]>"), "250 OK <u@IPv6:2001:db8::25>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@[IPv6:2001:db8::26]>"),
            "550 <u@IPv6:2001:db8::26>... Relaying denied");
  // The IPv4-mapped spelling is the IPv4 literal.
  EXPECT_EQ(c->Cmd("RCPT TO:<u@[IPv6:::FFFF:192.0.2.25]>"), "250 OK <u@IPv6:::FFFF:192.0.2.25>");
  // Only the literal's own colons are passed over.
  EXPECT_EQ(c->Cmd("RCPT TO:<a:b:u@[IPv6:2001:db8::25]>"),
            "501 Syntax Error in RCPT TO:<a:b:u@[IPv6:2001:db8::25]>");
  EXPECT_EQ(
      SendMessage(*c, "s@a.example", "v@corp.example", {"Subject: hi", "", "body"}).substr(0, 3),
      "250");
  auto files = QueueFiles();
  ASSERT_EQ(files.size(), 2u);
  std::string queued = ReadFile(queue_ / files[0]);
  EXPECT_NE(queued.find("Received: from [IPv6:::1] (unverified [IPv6:::1]) by "), std::string::npos)
      << queued;
  bool logged = false;
  for (const auto& e : Log())
    logged |= e.find(" ::1 550 <x@foreign.example> relaying denied") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST_F(Ipv6Session, AddressListsTakeIPv6RangesAndNeverMixFamilies) {
  Start();
  WaitForNoSessions();
  server_->SetLocalNets({*ParseNet("127.0.0.0/8")});
  {
    auto c = Connect("::1");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "550 <x@foreign.example>... Relaying denied");
  }
  WaitForNoSessions();
  server_->SetLocalNets({*ParseNet("::1/128")});
  {
    auto c = Connect("::1");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@foreign.example>"), "250 OK <x@foreign.example>");
    auto v4 = Connect();
    EXPECT_EQ(v4->Cmd("RCPT TO:<x@foreign.example>"), "550 <x@foreign.example>... Relaying denied");
  }
  WaitForNoSessions();
  server_->SetLocalNets({});
  server_->SetLocalBlackListNotice("black");
  ASSERT_FALSE(ParseNet("::/1"));  // the unspecified address is refused like 0.0.0.0
  server_->SetLocalBlackList({*ParseNet("8000::/1"), *ParseNet("::1/128")});
  {
    auto c = Connect("::1");
    EXPECT_EQ(c->Cmd("HELO a"), "250 OK a (unverified [IPv6:::1]), access restricted");
    EXPECT_EQ(c->Cmd("RCPT TO:<v@corp.example>"), "554 access denied, black");
  }
  WaitForNoSessions();
  server_->SetWhiteList({*ParseNet("0:0::1/127")});
  auto c = Connect("::1");
  EXPECT_EQ(c->Cmd("RCPT TO:<v@corp.example>"), "250 OK <v@corp.example>");
}

TEST_F(Ipv6Session, BlockListsAskUnderANibbleZoneAndReverseNamesComeFromIp6Arpa) {
  if (!test::DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
  test::DnsServer dns;
  const std::string nibbles = "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0";
  dns.AddARecord(nibbles + ".v6.example.test", "127.0.0.2");
  dns.AddARecord(nibbles + ".error.example.test", "127.255.255.254");  // refused query
  dns.AddARecord(nibbles + ".v4only.example.test", "127.0.0.4");
  dns.AddARecord("1.0.0.127.v4only.example.test", "127.0.0.4");
  dns.AddPtrRecord("::1", "six.example.test");
  ASSERT_TRUE(dns.Start()) << dns.error();
  ASSERT_TRUE(SetResolverConfig(dns.server(), 2000));
  server_->SetDoDNSLists(true);
  server_->SetDoVerifyDomain(true);
  server_->SetDNSLists({"error.example.test", "v4only.example.test", "v6.example.test"});
  server_->SetHeaderText({"error %s", "v4only %s", "listed %s"});
  server_->DNSListsIPv6() = {true, false};
  Start();
  {
    // ::1 has a name of its own for the reverse lookup ("LOCALHOST", as 127.0.0.1).
    auto c = Connect("::1");
    EXPECT_EQ(c->Cmd("HELO a"), "250 OK a (LOCALHOST [IPv6:::1]), access restricted");
    EXPECT_EQ(c->Cmd("RCPT TO:<v@corp.example>"), "554 access denied, listed ::1");
  }
  {
    // The list that is not asked about IPv6 still answers for IPv4.
    auto c = Connect();
    EXPECT_EQ(c->Cmd("RCPT TO:<v@corp.example>"), "554 access denied, v4only 127.0.0.1");
  }
  EXPECT_EQ(TConduitSMTPServer::HostNameOf("0::1"), "LOCALHOST");
  auto entry = ResolveHostByAddr6(ParseIpAddress("::1")->bytes);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->h_name, "six.example.test");
  EXPECT_FALSE(ResolveHostByAddr6(ParseIpAddress("2001:db8::99")->bytes));
}

}  // namespace
}  // namespace kestran::testing_smtp
