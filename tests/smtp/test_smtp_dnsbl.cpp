// Name service in the classification, against a private DNS server: block-list refusal
// and the reverse name of the client.

#include <regex>

#include "platform/resolver.h"
#include "smtp_fixture.h"
#include "support/dns_server.h"

namespace kestran::testing_smtp {
namespace {

class NameService : public SmtpTest {
 protected:
  void SetUp() override {
    if (!test::DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
    SmtpTest::SetUp();
    dns_.AddARecord("2.0.0.127.bl.example.test", "127.0.0.2");
    dns_.AddARecord("3.0.0.127.bl.example.test", "127.0.0.3");
    dns_.AddARecord("3.0.0.127.first.example.test", "127.255.255.1");  // an error answer
    dns_.AddARecord("4.0.0.127.third.example.test", "127.0.0.4");
    dns_.AddPtrRecord("127.0.0.5", "named.example.test");
    ASSERT_TRUE(dns_.Start()) << dns_.error();
    ASSERT_TRUE(SetResolverConfig(dns_.server(), 2000));
    server_->SetLocalDomains({"corp.example"});
    server_->SetDNSLists({"first.example.test", "bl.example.test", "third.example.test"});
    server_->SetHeaderText({"first list %s", "Listed %s, see %s"});
    CaptureLog();
  }
  void TearDown() override {
    SmtpTest::TearDown();
    SetResolverConfig("", 0);
  }

  test::DnsServer dns_;
};

TEST_F(NameService, ListedClientIsRefusedWithTheTextOfTheListThatAnswered) {
  server_->SetDoDNSLists(true);
  server_->SetWhiteList({*ParseNet("127.0.0.2/32")});
  Start();
  {
    // White-listed: never asked.
    auto c = Connect("127.0.0.2");
    EXPECT_EQ(c->Cmd("HELO a"), "250 OK a (unverified [127.0.0.2])");
  }
  {
    // first.example.test answers with an error address: not listed there; bl lists it.
    auto c = Connect("127.0.0.3");
    EXPECT_EQ(c->Cmd("HELO a"), "250 OK a (unverified [127.0.0.3]), access restricted");
    EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "554 access denied, Listed 127.0.0.3, see %s");
    EXPECT_EQ(c->Cmd("DATA"), "554 access denied, Listed 127.0.0.3, see %s");
  }
  {
    // A list without its own text.
    auto c = Connect("127.0.0.4");
    EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"),
              "554 access denied, see http://third.example.test");
  }
  {
    auto c = Connect("127.0.0.6");  // listed nowhere
    EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 OK <u@corp.example>");
  }
  auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("] 127.0.0.3 554 access denied, Listed 127.0.0.3, see %s"),
            std::string::npos);
}

TEST_F(NameService, ListsAreNotAskedWhenSwitchedOffOrForLocalNetworks) {
  Start();
  {
    auto c = Connect("127.0.0.3");
    EXPECT_EQ(c->Cmd("RCPT TO:<u@corp.example>"), "250 OK <u@corp.example>");
  }
  server_->SetActive(false);
  server_->SetDoDNSLists(true);
  server_->SetLocalNets({*ParseNet("127.0.0.0/29")});
  Start();
  auto c = Connect("127.0.0.3");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@far.example>"), "250 OK <u@far.example>");
  EXPECT_TRUE(Log().empty());
}

TEST_F(NameService, ReverseNameIsVerifiedOrLeftUnverified) {
  server_->SetDoVerifyDomain(true);
  Start();
  auto c = Connect("127.0.0.5");
  EXPECT_EQ(c->Cmd("HELO a"), "250 OK a (named.example.test [127.0.0.5])");
  auto d = Connect("127.0.0.7");  // no PTR record
  EXPECT_EQ(d->Cmd("HELO a"), "250 OK a (unverified [127.0.0.7])");
}

}  // namespace
}  // namespace kestran::testing_smtp
