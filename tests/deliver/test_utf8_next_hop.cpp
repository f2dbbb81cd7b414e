// Addresses beyond ASCII on the way out: a next hop that offers SMTPUTF8 (a private
// Dovecot) gets them with the parameter and delivers; one that does not never gets a
// mangled address, and the sender is told with status 5.6.7.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "deliver_fixture.h"
#include "scripted_peer.h"
#include "support/child_process.h"

namespace kestran {
namespace {

using test::ReadFileText;
using test::RecordingPeer;

const std::string kBody = "Subject: utf8\r\n\r\nbody\r\n";

TEST(Utf8NextHop, DovecotTakesAUtf8RecipientAndAHopWithoutSmtpUtf8BouncesWith567) {
  test::ScratchDir dir;
  const std::string queue = dir.path() + "q/";
  std::filesystem::create_directories(queue);
  test::LogCollector log;

  // A hop without SMTPUTF8: the UTF-8 recipient fails for good with 5.6.7 and is told;
  // the ASCII one of the same pair still gets the message.
  RecordingPeer plain(true, {"PIPELINING", "8BITMIME"});
  const std::string bounceScript = dir.path() + "bounce-sendmail";
  ASSERT_TRUE(test::WriteFileText(bounceScript, "#!/bin/sh\ncat > " + dir.path() + "bounce-msg\n"));
  ::chmod(bounceScript.c_str(), 0755);
  auto ctx = test::TestContext(queue, "lmtp:[127.0.0.1]:" + std::to_string(plain.port()), log);
  ctx.bounce = ParseNextHop("sendmail:" + bounceScript);
  test::WritePairFiles(
      queue, "B0000000001", test::QueueMessage(kBody),
      test::QueueRecipients("alice@client.test", {"j\xc3\xb6rg@x.test", "bob@x.test"}));
  auto transport = MakeTransport(ctx.transport, ctx.options);
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000001", false).outcome, TPairPass::Outcome::Failed);
  transport->Close();
  ASSERT_EQ(plain.Messages().size(), 1u);
  EXPECT_EQ(plain.Messages()[0].to, std::vector<std::string>{"bob@x.test"});
  for (const auto& c : plain.Commands()) EXPECT_EQ(c.find("j"), c.find("j\xc3\xb6rg")) << c;
  const std::string bounce = ReadFileText(dir.path() + "bounce-msg");
  EXPECT_NE(bounce.find("Status: 5.6.7"), std::string::npos) << bounce;

  // A real next hop: Dovecot's LMTP. Dovecot 2.3 (Debian 12) does not offer SMTPUTF8, so
  // the recipient fails for good with 5.6.7 and Dovecot never sees a mangled address; a
  // Dovecot that offers it gets the message into the mailbox.
  KESTRAN_REQUIRE_PROGRAM("/usr/sbin/dovecot");
  test::ScratchDir dv;
  test::DovecotInstance dovecot;
  ASSERT_TRUE(dovecot.Start(dv.path())) << dovecot.log();
  ctx = test::TestContext(queue, "lmtp:unix:" + dovecot.socket(), log);
  test::WritePairFiles(queue, "B0000000002", test::QueueMessage(kBody),
                       test::QueueRecipients("al\xc3\xaf"
                                             "ce@client.test",
                                             {"j\xc3\xb6rg@x.test"}));
  transport = MakeTransport(ctx.transport, ctx.options);
  const auto outcome = DeliverPair(ctx, *transport, "B0000000002", false).outcome;
  transport->Close();
  const std::string line = log.Mail().back();
  if (outcome == TPairPass::Outcome::Delivered) {
    EXPECT_EQ(dovecot.Mailbox("j\xc3\xb6rg").size(), 1u) << dovecot.log();
  } else {
    EXPECT_EQ(outcome, TPairPass::Outcome::Failed);
    EXPECT_NE(line.find("status=bounced (553 5.6.7 "), std::string::npos) << line;
    EXPECT_TRUE(dovecot.Mailbox("j\xc3\xb6rg").empty());
    EXPECT_EQ(dovecot.log().find("RCPT"), std::string::npos) << dovecot.log();
  }
}

}  // namespace
}  // namespace kestran
