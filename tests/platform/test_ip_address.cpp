#include "platform/ip_address.h"

#include <gtest/gtest.h>

namespace kestran {
namespace {

TEST(IpAddress, TextFormIsCanonical) {
  // Lower case, no leading zeros, the longest zero run compressed (the first of equal
  // runs), a single zero group written out, mapped addresses as IPv4.
  const std::pair<const char*, const char*> cases[] = {
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"::", "::"},
      {"fe80::", "fe80::"},
      {"::FFFF:192.0.2.1", "192.0.2.1"},
      {"::ffff:c000:0201", "192.0.2.1"},
      {"::192.0.2.1", "::c000:201"},
      {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
      {"192.0.2.1", "192.0.2.1"},
      {"010.0.0.1", "10.0.0.1"},
  };
  for (const auto& [in, out] : cases) {
    auto a = ParseIpAddress(in);
    ASSERT_TRUE(a) << in;
    EXPECT_EQ(FormatIpAddress(*a), out) << in;
    EXPECT_EQ(CanonicalAddressText(in), out) << in;
  }
  for (const char* bad :
       {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "[::1]", "::1%lo", "1::2::3",
        ":1::", "1::2:", "12345::", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "g::1", "::1.2.3",
        "1:2:3:4:5:6:7::8.8.8.8", "localhost"})
    EXPECT_FALSE(ParseIpAddress(bad)) << bad;
  EXPECT_EQ(CanonicalAddressText("not an address"), "not an address");
}

TEST(IpAddress, LiteralsReverseNamesAndPrefixes) {
  EXPECT_EQ(AddressLiteral("192.0.2.1"), "[192.0.2.1]");
  EXPECT_EQ(AddressLiteral("2001:db8::1"), "[IPv6:2001:db8::1]");
  EXPECT_TRUE(IsIPv6AddressText("::1"));
  EXPECT_FALSE(IsIPv6AddressText("::ffff:10.0.0.1"));

  EXPECT_EQ(ParseAddressLiteral("[IPv6:2001:DB8::1]"), ParseIpAddress("2001:db8::1"));
  EXPECT_EQ(ParseAddressLiteral("ipv6:::1"), ParseIpAddress("::1"));
  EXPECT_EQ(ParseAddressLiteral("[192.0.2.1]"), ParseIpAddress("192.0.2.1"));
  EXPECT_FALSE(ParseAddressLiteral("[2001:db8::1]"));  // no tag
  EXPECT_FALSE(ParseAddressLiteral("[IPv6:192.0.2.1]"));
  EXPECT_FALSE(ParseAddressLiteral("[example.org]"));

  EXPECT_EQ(ReversedAddressName(*ParseIpAddress("192.0.2.1")), "1.2.0.192");
  EXPECT_EQ(ReversedAddressName(*ParseIpAddress("2001:db8::567:89ab")),
            "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2");

  auto a = *ParseIpAddress("2001:db8:1:2:3:4:5:6");
  EXPECT_EQ(FormatIpAddress(MaskedAddress(a, 64)), "2001:db8:1:2::");
  EXPECT_EQ(FormatIpAddress(MaskedAddress(a, 36)), "2001:db8::");
  EXPECT_EQ(FormatIpAddress(MaskedAddress(a, 128)), "2001:db8:1:2:3:4:5:6");
  EXPECT_EQ(FormatIpAddress(MaskedAddress(*ParseIpAddress("10.1.2.3"), 12)), "10.0.0.0");
}

}  // namespace
}  // namespace kestran
