#include "smtp/subnet.h"

#include <gtest/gtest.h>

namespace kestran {
namespace {

TEST(Subnet, ParseIPReadsFourLowBytes) {
  EXPECT_EQ(ParseIP("10.1.2.3"), 0x0A010203u);
  EXPECT_EQ(ParseIP(" 192.168.1.5\t"), 0xC0A80105u);
  EXPECT_EQ(ParseIP("10.1"), 0x0A010101u);  // the last number repeats
  EXPECT_EQ(ParseIP("300"), 0x2C2C2C2Cu);   // only the low eight bits count
  EXPECT_EQ(ParseIP("1.2.3.4.5"), 0x01020304u);
  EXPECT_EQ(ParseIP("255.255.255.255"), 0xFFFFFFFFu);
  for (const char* bad : {"", "a.b.c.d", "1..2.3", "1.2.3.", "1.2.3.4x", "99999999999.1.1.1"})
    EXPECT_EQ(ParseIP(bad), 0u) << bad;
}

TEST(Subnet, MaskFromBits) {
  EXPECT_EQ(MaskFromBits("0"), 0u);
  EXPECT_EQ(MaskFromBits("1"), 0x80000000u);
  EXPECT_EQ(MaskFromBits("24"), 0xFFFFFF00u);
  EXPECT_EQ(MaskFromBits("32"), 0xFFFFFFFFu);
  EXPECT_EQ(MaskFromBits("264"), 0xFF000000u);  // low eight bits: 8
  EXPECT_EQ(MaskFromBits("33"), 0u);
  EXPECT_EQ(MaskFromBits("x"), 0u);
  EXPECT_EQ(MaskFromBits(""), 0u);
}

TEST(Subnet, ParseNetAndMembership) {
  auto r = ParseNet("192.168.1.77/24");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Network, 0xC0A80100u);
  EXPECT_EQ(r->Mask, 0xFFFFFF00u);

  for (const char* skipped : {"10.0.0.0/0", "0.0.0.0/8", "10.0.0.0", "", "/24", "10.0.0.0/",
                              "10.0.0.0/abc", "x/8", "10.0.0.0/40"})
    EXPECT_FALSE(ParseNet(skipped)) << skipped;

  auto host = ParseNet(" 10.0.0.5/32 ");
  ASSERT_TRUE(host);
  std::vector<TNetRange> list{*r, *host};
  EXPECT_TRUE(InNetList("192.168.1.5", list));
  EXPECT_TRUE(InNetList(" 10.0.0.5 ", list));
  EXPECT_FALSE(InNetList("10.0.0.6", list));
  EXPECT_FALSE(InNetList("192.168.2.5", list));
  EXPECT_FALSE(InNetList("192.168.1.5", {}));
}

}  // namespace
}  // namespace kestran

namespace kestran {
namespace {

TEST(Subnet, IPv6RangesBesideIPv4Ones) {
  auto net = ParseNet(" 2001:DB8::/32 ");
  ASSERT_TRUE(net);
  EXPECT_TRUE(net->IPv6);
  EXPECT_EQ(FormatNet(*net), "2001:db8::/32");
  auto loop = ParseNet("::1/128");
  auto v4 = ParseNet("10.0.0.0/8");
  // ::ffff:a.b.c.d/n is an IPv4 range.
  auto mapped = ParseNet("::ffff:192.168.0.0/112");
  ASSERT_TRUE(loop && v4 && mapped);
  EXPECT_FALSE(mapped->IPv6);
  EXPECT_EQ(FormatNet(*mapped), "192.168.0.0/16");

  for (const char* skipped : {"::/0", "::/64", "2001:db8::/0", "2001:db8::/129",
                              "2001:db8::", "2001:db8::/x", "2001:db8:::/32", "::ffff:10.0.0.0/96"})
    EXPECT_FALSE(ParseNet(skipped)) << skipped;

  std::vector<TNetRange> list{*net, *loop, *v4, *mapped};
  EXPECT_TRUE(InNetList("2001:db8:ffff::7", list));
  EXPECT_TRUE(InNetList("::1", list));
  EXPECT_TRUE(InNetList("10.9.8.7", list));
  EXPECT_TRUE(InNetList("::ffff:10.9.8.7", list));  // the IPv4 client
  EXPECT_TRUE(InNetList("192.168.3.4", list));
  EXPECT_FALSE(InNetList("2001:db9::1", list));
  EXPECT_FALSE(InNetList("::2", list));
  EXPECT_FALSE(InNetList("not:an:address", list));

  // An IPv4 range never holds an IPv6 client, nor the reverse: ::a09:807 carries the
  // bits of 10.9.8.7 but is no IPv4 address.
  EXPECT_FALSE(InNetList("::a09:807", {*v4}));
  EXPECT_FALSE(InNetList("0.0.0.1", {*loop}));

  EXPECT_TRUE(HasBitsOutsideMask("2001:db8::1/32"));
  EXPECT_FALSE(HasBitsOutsideMask("2001:db8::/32"));
  EXPECT_FALSE(HasBitsOutsideMask("::1/128"));
  EXPECT_TRUE(HasBitsOutsideMask("::ffff:192.168.1.1/112"));
}

}  // namespace
}  // namespace kestran
