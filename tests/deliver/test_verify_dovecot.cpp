// The recipient check at the door against a real Dovecot (passwd-file users, the quota
// checked at RCPT): a known user is valid, an unknown one and one over quota are refused
// for good, a stopped Dovecot gives no answer, and a restarted one is asked again.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "deliver/next_hop_verifier.h"
#include "deliver/transport.h"
#include "deliver_fixture.h"

namespace kestran {
namespace {

using test::DovecotInstance;
using test::ScratchDir;

const char* kUsers =
    "bob:::::::\n"
    "full:::::::userdb_quota_rule=*:messages=1\n";

// One message for the address over LMTP; the reply.
std::string DeliverOne(const TNextHop& hop, const std::string& to) {
  const std::string body = "Subject: fill\r\n\r\nx\r\n.\r\n";
  size_t offset = 0;
  TMessageToSend m;
  m.sender = "a@client.test";
  m.recipients = {to};
  m.size = body.size();
  m.read = [&](char* p, size_t n) -> long {
    n = std::min(n, body.size() - offset);
    std::memcpy(p, body.data() + offset, n);
    offset += n;
    return static_cast<long>(n);
  };
  std::string taken;
  m.onReply = [&](size_t, const TReply& r) { taken = r.text; };
  TTransportOptions options;
  options.heloName = "mx.test";
  options.timeoutMs = 5000;
  auto t = MakeTransport(hop, options);
  t->Send(m);
  t->Close();
  return taken;
}

TEST(VerifyDovecot, KnownUnknownOverQuotaStoppedAndBack) {
  KESTRAN_REQUIRE_PROGRAM("/usr/sbin/dovecot");
  ScratchDir dir;
  auto dovecot = std::make_unique<DovecotInstance>();
  ASSERT_TRUE(dovecot->Start(dir.path(), kUsers)) << dovecot->log();
  auto hop = ParseNextHop("lmtp:unix:" + dovecot->socket());
  ASSERT_TRUE(hop.has_value());
  ASSERT_EQ(DeliverOne(*hop, "full@example.org").substr(0, 3), "250") << dovecot->log();

  TNextHopVerifier v(*hop, "mx.test", 5000);
  EXPECT_EQ(v.Verify("bob@example.org"), TVerifyAnswer::Valid) << dovecot->log();
  EXPECT_EQ(v.Verify("nobody@example.org"), TVerifyAnswer::Invalid);
  EXPECT_EQ(v.Verify("full@example.org"), TVerifyAnswer::Invalid) << dovecot->log();
  EXPECT_EQ(v.ConnectionsOpened(), 1u);

  dovecot.reset();  // stopped
  EXPECT_EQ(v.Verify("bob@example.org"), TVerifyAnswer::Unknown);
  dovecot = std::make_unique<DovecotInstance>();
  ASSERT_TRUE(dovecot->Start(dir.path(), kUsers)) << dovecot->log();
  EXPECT_EQ(v.Verify("bob@example.org"), TVerifyAnswer::Valid) << dovecot->log();
}

}  // namespace
}  // namespace kestran
