#include <gtest/gtest.h>

#include <string>

#include "transport/proxy_address.h"
#include "transport/proxy_header.h"

namespace kestran {
namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: signature, version/command, family/transport, length, then body.
std::string V2(uint8_t versionCommand, uint8_t familyTransport, const std::string& body) {
  std::string h = kSignature;
  h += static_cast<char>(versionCommand);
  h += static_cast<char>(familyTransport);
  h += static_cast<char>(body.size() >> 8);
  h += static_cast<char>(body.size() & 0xff);
  return h + body;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// 192.0.2.1:51234 -> 198.51.100.2:25
const std::string kInetBlock = Bytes({192, 0, 2, 1, 198, 51, 100, 2, 0xc8, 0x22, 0x00, 0x19});
// 2001:db8::7 -> 2001:db8::25, ports 1 and 25
const std::string kInet6Block =
    Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0, 7, 0x20, 0x01,
           0x0d, 0xb8, 0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0x25, 0, 1, 0,    25});

std::string Client(const std::string& data) {
  TProxyParse p = ParseProxyHeader(data);
  if (p.Status != TProxyStatus::Complete) return "(not complete)";
  return p.Header.Local ? "(local)" : ProxiedClientAddress(p.Header);
}

TEST(ProxyHeader, VersionOneLinesNameTheClientAndEndAtTheirLineBreak) {
  const std::string line = "PROXY TCP4 192.0.2.1 198.51.100.2 51234 25\r\n";
  TProxyParse p = ParseProxyHeader(line + "EHLO client.test\r\n");
  ASSERT_EQ(p.Status, TProxyStatus::Complete);
  EXPECT_EQ(p.Length, line.size());
  EXPECT_EQ(p.Header.Version, 1);
  EXPECT_FALSE(p.Header.Local);
  EXPECT_EQ(p.Header.SourcePort, 51234);
  EXPECT_EQ(p.Header.DestinationPort, 25);
  EXPECT_EQ(ProxiedClientAddress(p.Header), "192.0.2.1");

  EXPECT_EQ(Client("PROXY TCP6 2001:DB8:0:0:0:0:0:7 2001:db8::25 1 25\r\n"), "2001:db8::7");
  EXPECT_EQ(Client("PROXY TCP6 ::ffff:192.0.2.9 ::1 65535 0\r\n"), "192.0.2.9");
  // UNKNOWN: the balancer could not tell; whatever follows on the line is ignored.
  EXPECT_EQ(Client("PROXY UNKNOWN\r\n"), "(local)");
  EXPECT_EQ(Client("PROXY UNKNOWN ffff:: 1.2.3.4 x y\r\n"), "(local)");

  // The longest line allowed is 107 bytes with its CR LF.
  const std::string longest =
      "PROXY UNKNOWN ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
      "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
  ASSERT_EQ(longest.size(), kProxyV1MaxLength);
  EXPECT_EQ(Client(longest), "(local)");
}

TEST(ProxyHeader, EveryPrefixOfAHeaderWaitsForMore) {
  const std::string headers[] = {
      "PROXY TCP4 192.0.2.1 198.51.100.2 51234 25\r\n",
      V2(0x21, 0x11, kInetBlock),
      V2(0x21, 0x21, kInet6Block + Bytes({1, 0, 2, 'h', '2'})),
      V2(0x20, 0x00, ""),
  };
  for (const auto& h : headers) {
    for (size_t n = 0; n < h.size(); ++n)
      EXPECT_EQ(ParseProxyHeader(h.substr(0, n)).Status, TProxyStatus::NeedMore)
          << n << " bytes of " << h.size();
    EXPECT_EQ(ParseProxyHeader(h).Length, h.size());
  }
}

TEST(ProxyHeader, BadVersionOneLinesAreRefused) {
  for (const char* bad : {
           "PROXY TCP4 192.0.2.1 198.51.100.2 51234\r\n",       // a port missing
           "PROXY TCP4 192.0.2.1 198.51.100.2 51234 25 x\r\n",  // a word too many
           "PROXY TCP4  192.0.2.1 198.51.100.2 51234 25\r\n",   // two blanks
           "PROXY TCP4 192.0.2.01 198.51.100.2 51234 25\r\n",   // a leading zero
           "PROXY TCP4 192.0.2.256 198.51.100.2 51234 25\r\n",  // out of range
           "PROXY TCP4 2001:db8::1 198.51.100.2 51234 25\r\n",  // family mismatch
           "PROXY TCP6 192.0.2.1 ::1 51234 25\r\n",             // family mismatch
           "PROXY TCP6 1::2::3 ::1 51234 25\r\n",               // two gaps
           "PROXY TCP6 1:2:3:4:5:6:7:8:9 ::1 51234 25\r\n",     // nine groups
           "PROXY TCP4 192.0.2.1 198.51.100.2 65536 25\r\n",    // port out of range
           "PROXY TCP4 192.0.2.1 198.51.100.2 +1 25\r\n",       // not decimal
           "PROXY UDP4 192.0.2.1 198.51.100.2 51234 25\r\n",    // not TCP
           "PROXY tcp4 192.0.2.1 198.51.100.2 51234 25\r\n",    // case matters
           "PROXY TCP4 192.0.2.1 198.51.100.2 51234 25\n\r\n",  // LF inside
       }) {
    TProxyParse p = ParseProxyHeader(bad);
    EXPECT_EQ(p.Status, TProxyStatus::Invalid) << bad;
    EXPECT_EQ(p.Error, TProxyError::Malformed) << bad;
  }
  // 107 bytes without CR LF: the line can only be too long, whatever comes next.
  const std::string endless = "PROXY TCP4 192.0.2.1 198.51.100.2 51234 25" + std::string(65, ' ');
  ASSERT_EQ(endless.size(), kProxyV1MaxLength);
  EXPECT_EQ(ParseProxyHeader(endless).Error, TProxyError::TooLong);
  EXPECT_EQ(ParseProxyHeader(endless.substr(0, 106)).Status, TProxyStatus::NeedMore);
  EXPECT_EQ(ParseProxyHeader(endless + "\r\n").Error, TProxyError::TooLong);
}

TEST(ProxyHeader, VersionTwoHeadersWithAndWithoutExtensions) {
  // Extensions (a TLV record here) behind the addresses are skipped, nothing more.
  const std::string tlv = Bytes({0x01, 0x00, 0x03, 's', 'm', 't'});
  const std::string inet = V2(0x21, 0x11, kInetBlock + tlv);
  TProxyParse p = ParseProxyHeader(inet + "EHLO x\r\n");
  ASSERT_EQ(p.Status, TProxyStatus::Complete);
  EXPECT_EQ(p.Length, inet.size());
  EXPECT_EQ(p.Header.Version, 2);
  EXPECT_EQ(p.Header.SourcePort, 51234);
  EXPECT_EQ(p.Header.DestinationPort, 25);
  EXPECT_EQ(ProxiedClientAddress(p.Header), "192.0.2.1");

  p = ParseProxyHeader(V2(0x21, 0x21, kInet6Block));
  ASSERT_EQ(p.Status, TProxyStatus::Complete);
  EXPECT_EQ(ProxiedClientAddress(p.Header), "2001:db8::7");
  EXPECT_EQ(p.Header.SourcePort, 1);

  // LOCAL: the balancer's own connection, whatever family and block it carries.
  EXPECT_EQ(Client(V2(0x20, 0x00, "")), "(local)");
  EXPECT_EQ(Client(V2(0x20, 0x11, kInetBlock)), "(local)");
  EXPECT_EQ(Client(V2(0x20, 0x31, std::string(216, 'x'))), "(local)");
}

TEST(ProxyHeader, BadVersionTwoHeadersAreRefusedFromTheFixedPart) {
  struct Case {
    std::string header;
    TProxyError error;
  };
  const Case cases[] = {
      {V2(0x11, 0x11, kInetBlock), TProxyError::Malformed},                // version 1 byte
      {V2(0x22, 0x11, kInetBlock), TProxyError::Malformed},                // command 2
      {V2(0x21, 0x11, kInetBlock.substr(0, 11)), TProxyError::Malformed},  // block too short
      {V2(0x21, 0x21, kInetBlock), TProxyError::Malformed},                // IPv6 in 12 bytes
      {V2(0x21, 0x41, kInetBlock), TProxyError::Malformed},                // no such family
      {V2(0x21, 0x31, std::string(216, '/')), TProxyError::Unsupported},   // AF_UNIX
      {V2(0x21, 0x00, ""), TProxyError::Unsupported},                      // PROXY, AF_UNSPEC
      {V2(0x21, 0x12, kInetBlock), TProxyError::Unsupported},              // UDP
  };
  for (const auto& c : cases) {
    // Sixteen bytes are enough to tell: a refused header is never waited for.
    TProxyParse p = ParseProxyHeader(c.header.substr(0, kProxyV2FixedLength));
    EXPECT_EQ(p.Status, TProxyStatus::Invalid) << testing::PrintToString(c.header);
    EXPECT_EQ(p.Error, c.error) << testing::PrintToString(c.header);
  }
  // Neither signature: no header at all.
  for (const std::string& missing :
       {std::string("EHLO client.test\r\n"), std::string("PROXX"), std::string("proxy "),
        std::string("\r\n\r\n\0\r\nQUIT\r", 12), std::string("\r\n")}) {
    EXPECT_EQ(ParseProxyHeader(missing).Error,
              missing == "\r\n" ? TProxyError::None : TProxyError::Missing)
        << testing::PrintToString(missing);
  }
}

TEST(ProxyHeader, ClientAddressTextIsTheCanonicalForm) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},      // the first of two longest runs
      {"2001:0db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"2001:db8:0:0:0:1:0:0", "2001:db8::1:0:0"},
      {"0:0:0:0:0:0:0:0", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"FE80::ABCD", "fe80::abcd"},
      {"::ffff:10.1.2.3", "10.1.2.3"},  // IPv4-mapped: the IPv4 client
      {"::ffff:a01:203", "10.1.2.3"},
      {"::10.1.2.3", "::a01:203"},  // not mapped: stays IPv6
      {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
  };
  for (const auto& c : cases) {
    TProxyHeader h;
    h.Family = TProxyFamily::IPv6;
    ASSERT_TRUE(ParseIPv6Text(c.in, h.Source.data())) << c.in;
    EXPECT_EQ(ProxiedClientAddress(h), c.out) << c.in;
  }
  uint8_t b[16];
  for (const char* bad : {"", ":", ":::", "1:::2", ":1::", "1::2:", "12345::", "g::", "::1.2.3",
                          "1.2.3.4::", "::ffff:1.2.3.4.5", "1:2:3:4:5:6:7::8", "fe80::1%lo"})
    EXPECT_FALSE(ParseIPv6Text(bad, b)) << bad;
  for (const char* bad : {"1.2.3", "1.2.3.4.", "01.2.3.4", "1..3.4", "1.2.3.-4", " 1.2.3.4"})
    EXPECT_FALSE(ParseIPv4Text(bad, b)) << bad;
}

}  // namespace
}  // namespace kestran
