#include <gtest/gtest.h>

#include "platform/resolver.h"
#include "platform/sockets.h"
#include "support/dns_server.h"
#include "transport/conduit.h"
#include "transport/winsock_intf.h"

namespace kestran {
namespace {

TEST(WinsockIntf, ErrorTexts) {
  TWinsockIntfBase& w = GWinsockIntf();
  EXPECT_EQ(w.TranslateErrorMsg(10054), "Socket Error #10054\r\nConnection reset by peer.");
  EXPECT_EQ(w.TranslateErrorMsg(10061), "Socket Error #10061\r\nConnection refused.");
  EXPECT_EQ(w.TranslateErrorMsg(12345), "Socket Error #12345\r\n");
  EXPECT_EQ(w.TranslateErrorMsg(10035), "Socket Error #10035\r\nOperation would block. ");
  EXPECT_EQ(w.TranslateErrorMsg(10066), "Socket Error #10066\r\nDirectory not empty");
  EXPECT_EQ(w.TranslateErrorMsg(11002),
            "Socket Error #11002\r\nNon-authoritative response (try again or check DNS setup).");
  EXPECT_EQ(w.TranslateErrorMsg(11004),
            "Socket Error #11004\r\nValid name, no data record (check DNS setup).");
  int known = 0;
  for (int code = 10000; code < 11100; ++code) known += SocketErrorText(code)[0] != '\0';
  EXPECT_EQ(known, 50);
}

TEST(WinsockIntf, CheckForSocketError) {
  SockSetLastError(10054);
  EXPECT_FALSE(TConduit::CheckForSocketError(0, {10054}));
  SockSetLastError(10004);
  EXPECT_TRUE(TConduit::CheckForSocketError(-1, {10004}));
  SockSetLastError(10054);
  try {
    TConduit::CheckForSocketError(-1, {10004});
    FAIL() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_STREQ(e.what(), "Socket Error #10054\r\nConnection reset by peer.");
    EXPECT_STREQ(e.ClassName(), "EConduitSocketError");
  }
  // The copy made for a new message keeps the code.
  try {
    EConduitSocketError("x", 10060).RaiseWithMessage("y");
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10060);
    EXPECT_EQ(e.Message(), "y");
  }
  EXPECT_THROW(TConduit::RaiseSocketError(10038), EConduitSocketError);
  EXPECT_THROW(TConduit::RaiseSocketError(10038), EConduitException);
}

TEST(WinsockIntf, AddressTextAndLocalName) {
  const uint8_t loop[4] = {0x7f, 0, 0, 1};
  EXPECT_EQ(TConduit::InAddrToString(loop), "127.0.0.1");
  const uint8_t lan[4] = {0xc0, 0xa8, 0x01, 0x02};
  EXPECT_EQ(TConduit::InAddrToString(lan), "192.168.1.2");
  EXPECT_EQ(TConduit::InAddrToString(GWinsockIntf().inet_addr("10.20.30.40")), "10.20.30.40");
  TConduit c;
  EXPECT_EQ(c.LocalName(), LocalHostName());
  EXPECT_STREQ(TConduit::Version(), "7.037B");
}

TEST(WinsockIntf, HostNameOf) {
  EXPECT_EQ(TConduit::HostNameOf("127.0.0.1"), "LOCALHOST");
  if (!test::DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
  test::DnsServer dns;
  dns.AddPtrRecord("10.4.3.2", "relay.kestran.test");
  dns.AddNoDataName("3.3.3.10.in-addr.arpa");
  ASSERT_TRUE(dns.Start()) << dns.error();
  ASSERT_TRUE(SetResolverConfig(dns.server(), 3000));
  EXPECT_EQ(TConduit::HostNameOf("10.4.3.2"), "relay.kestran.test");
  // No data for the name (11004): empty; no such name (11001): an error.
  EXPECT_EQ(TConduit::HostNameOf("10.3.3.3"), "");
  try {
    TConduit::HostNameOf("10.9.9.9");
    ADD_FAILURE() << "no exception";
  } catch (const EConduitSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 11001);
    EXPECT_STREQ(e.what(), "Socket Error #11001\r\nHost not found.");
  }
  auto host = GWinsockIntf().gethostbyname("missing.kestran.test");
  EXPECT_FALSE(host.has_value());
  EXPECT_EQ(GWinsockIntf().WSAGetLastError(), 11001);
  SetResolverConfig("", 0);
}

}  // namespace
}  // namespace kestran
