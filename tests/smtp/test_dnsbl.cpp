#include "smtp/dnsbl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/resolver.h"
#include "support/dns_server.h"

namespace kestran {
namespace {

TEST(DnsBlockLists, ReversedAddressText) {
  EXPECT_EQ(ReverseAddress("192.0.2.7"), "7.2.0.192");
  EXPECT_EQ(ReverseAddress("1.2.3.4"), "4.3.2.1");
  EXPECT_EQ(ReverseAddress("010.1.2.3"), "3.2.1.010");  // parts stay text
  EXPECT_EQ(ReverseAddress("a..b."), ".b..a");
  EXPECT_EQ(ReverseAddress("single"), "single");
  EXPECT_EQ(ReverseAddress(""), "");
}

TEST(DnsBlockLists, ListingAnswers) {
  EXPECT_TRUE(IsListingAnswer(0x7F000002u));   // 127.0.0.2
  EXPECT_TRUE(IsListingAnswer(0x7F000001u));   // 127.0.0.1
  EXPECT_TRUE(IsListingAnswer(0x7FFFFEFFu));   // 127.255.254.255
  EXPECT_FALSE(IsListingAnswer(0x7FFFFF00u));  // 127.255.255.0
  EXPECT_FALSE(IsListingAnswer(0x7FFFFFFEu));  // 127.255.255.254
  EXPECT_FALSE(IsListingAnswer(0x0A000001u));  // 10.0.0.1
  EXPECT_FALSE(IsListingAnswer(0x80000002u));  // 128.0.0.2
  EXPECT_FALSE(IsListingAnswer(0x7E000002u));  // 126.0.0.2
}

class DnsBlockListServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
    savedServers_ = ResolverServers();
    savedTimeout_ = ResolverTimeoutMs();
    // Client 192.0.2.7 as seen by each zone.
    dns_.AddARecord("7.2.0.192.listed.test", "127.0.0.2");
    dns_.AddARecord("7.2.0.192.refused.test", "127.255.255.254");
    dns_.AddARecord("7.2.0.192.outside.test", "10.0.0.1");
    dns_.AddARecord("7.2.0.192.mixed.test", "127.255.255.254");
    dns_.AddARecord("7.2.0.192.mixed.test", "127.0.0.4");
    dns_.AddNoDataName("7.2.0.192.nodata.test");
    ASSERT_TRUE(dns_.Start()) << dns_.error();
    ASSERT_TRUE(SetResolverConfig(dns_.server(), 3000));
    restore_ = true;
  }
  void TearDown() override {
    if (restore_) SetResolverConfig(savedServers_, savedTimeout_);
  }

  test::DnsServer dns_;
  std::string savedServers_;
  uint32_t savedTimeout_ = 0;
  bool restore_ = false;
};

TEST_F(DnsBlockListServer, OnlyListingAnswersRefuse) {
  std::string reason = "untouched";
  // Error answers, answers outside 127/8, names without data and missing names do not
  // list the client.
  EXPECT_FALSE(CheckDNSBlockLists("192.0.2.7",
                                  {"refused.test", "outside.test", "nodata.test", "nx.test"},
                                  {"r %s", "o %s", "n %s", "x %s"}, reason));
  EXPECT_EQ(reason, "untouched");
  // Another client is not listed where 192.0.2.7 is.
  EXPECT_FALSE(CheckDNSBlockLists("192.0.2.8", {"listed.test"}, {}, reason));
  EXPECT_FALSE(CheckDNSBlockLists("192.0.2.7", {}, {}, reason));
  EXPECT_EQ(reason, "untouched");

  // One listing address among others is enough.
  EXPECT_TRUE(CheckDNSBlockLists("192.0.2.7", {"mixed.test"}, {"mixed"}, reason));
  EXPECT_EQ(reason, "mixed");
}

TEST_F(DnsBlockListServer, LaterListsAndRefusalTexts) {
  std::string reason;
  // The second list is asked when the first does not list; the first "%s" takes the
  // client's address.
  EXPECT_TRUE(CheckDNSBlockLists("192.0.2.7", {"refused.test", "listed.test", "mixed.test"},
                                 {"first %s", "Blocked %s, see %s", "third"}, reason));
  EXPECT_EQ(reason, "Blocked 192.0.2.7, see %s");

  // No text for the list's index: the zone's web address.
  EXPECT_TRUE(CheckDNSBlockLists("192.0.2.7", {"nx.test", "outside.test", "listed.test"},
                                 {"a", "b"}, reason));
  EXPECT_EQ(reason, "see http://listed.test");

  // A text without "%s" is used as it is.
  EXPECT_TRUE(CheckDNSBlockLists("192.0.2.7", {"listed.test"}, {"go away"}, reason));
  EXPECT_EQ(reason, "go away");
}

TEST_F(DnsBlockListServer, UnreachableServerAdmits) {
  test::SilentUdpPort silent;
  ASSERT_TRUE(SetResolverConfig(silent.server(), 300));
  std::string reason = "untouched";
  EXPECT_FALSE(CheckDNSBlockLists("192.0.2.7", {"listed.test", "mixed.test"}, {}, reason));
  EXPECT_EQ(reason, "untouched");
}

}  // namespace
}  // namespace kestran
