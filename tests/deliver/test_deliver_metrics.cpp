// kestran-deliver's metrics: what a run of deliveries adds to each counter, the queue
// counted by state, and the file as Prometheus reads it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>

#include "deliver/deliver_metrics.h"
#include "deliver_fixture.h"
#include "scripted_peer.h"
#include "support/child_process.h"
#include "support/promtool.h"

namespace kestran {
namespace {

using test::RecordingPeer;

// Sets the time a recipient file was completed (the pair's queueing time).
void SetQueuedAt(const std::string& rcp, double when) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, rcp.c_str(), times, 0), 0) << rcp;
}

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(DeliverMetrics, ADeliveryRunIsCountedByResultWithItsDelayAndNotifications) {
  test::ScratchDir dir;
  const std::string queue = dir.path() + "q/";
  std::filesystem::create_directories(queue);
  const std::string bounce = dir.path() + "bounce-sendmail";
  ASSERT_TRUE(test::WriteFileText(bounce, "#!/bin/sh\ncat > /dev/null\n"));
  ::chmod(bounce.c_str(), 0755);
  RecordingPeer peer(
      true, {"PIPELINING"},
      [](const std::string& a) { return a == "gone@x.test" ? "550 5.1.1 User unknown" : ""; },
      [](const std::string& a) { return a == "slow@x.test" ? "451 4.3.0 Try later" : ""; });
  test::LogCollector log;
  double clock = static_cast<double>(::time(nullptr));
  auto ctx =
      test::TestContext(queue, "lmtp:[127.0.0.1]:" + std::to_string(peer.port()), log, &clock);
  ctx.bounce = ParseNextHop("sendmail:" + bounce);
  ctx.maxAgeSeconds = 3600;
  TDeliverMetrics metrics;
  ctx.metrics = &metrics;

  // One pair for two recipients, delivered after 7 s; one with a recipient refused, one
  // deferred and one delivered after 40 s.
  test::WritePairFiles(queue, "B0000000001", test::QueueMessage("Subject: a\r\n\r\nx\r\n"),
                       test::QueueRecipients("alice@client.test", {"bob@x.test", "dan@x.test"}));
  SetQueuedAt(queue + "B0000000001.RCP", clock - 7);
  test::WritePairFiles(
      queue, "B0000000002", test::QueueMessage("Subject: b\r\n\r\ny\r\n"),
      test::QueueRecipients("alice@client.test", {"gone@x.test", "slow@x.test", "eve@x.test"}));
  SetQueuedAt(queue + "B0000000002.RCP", clock - 40);
  auto transport = MakeTransport(ctx.transport, ctx.options);
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000001", false).outcome,
            TPairPass::Outcome::Delivered);
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000002", false).outcome,
            TPairPass::Outcome::Waiting);
  // A pass with nothing due counts nothing.
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000002", false).outcome,
            TPairPass::Outcome::Waiting);

  EXPECT_EQ(metrics.Recipients(TDeliverResult::Sent), 3u);
  EXPECT_EQ(metrics.Recipients(TDeliverResult::Deferred), 1u);
  EXPECT_EQ(metrics.Recipients(TDeliverResult::Bounced), 1u);
  EXPECT_EQ(metrics.Messages(TDeliverResult::Sent), 1u);
  EXPECT_EQ(metrics.Messages(TDeliverResult::Deferred), 1u);
  EXPECT_EQ(metrics.NotificationsSent(), 1u);

  TDeliverQueueGauges g = CountDeliverQueue(queue, static_cast<int64_t>(clock));
  EXPECT_TRUE(g.Scanned);
  EXPECT_EQ(g.NewPairs, 0u);
  EXPECT_EQ(g.DeferredPairs, 1u);
  EXPECT_EQ(g.OldestPairAgeSeconds, 40);

  // Past the maximal age the deferred recipient fails too: the pair leaves as bounced.
  clock += 3700;
  EXPECT_EQ(DeliverPair(ctx, *transport, "B0000000002", false).outcome, TPairPass::Outcome::Failed);
  EXPECT_EQ(metrics.Recipients(TDeliverResult::Bounced), 2u);
  EXPECT_EQ(metrics.Messages(TDeliverResult::Bounced), 1u);
  EXPECT_EQ(metrics.NotificationsSent(), 2u);

  g = CountDeliverQueue(queue, static_cast<int64_t>(clock));
  EXPECT_EQ(g.DeferredPairs + g.NewPairs, 0u);
  EXPECT_EQ(g.FailedPairs, 1u);
  const std::string text = FormatDeliverMetrics(metrics, g, "0.45");
  for (const char* line : {
           "kestran_deliver_messages_total{result=\"sent\"} 1",
           "kestran_deliver_messages_total{result=\"deferred\"} 1",
           "kestran_deliver_messages_total{result=\"bounced\"} 1",
           "kestran_deliver_recipients_total{result=\"sent\"} 3",
           "kestran_deliver_recipients_total{result=\"deferred\"} 1",
           "kestran_deliver_recipients_total{result=\"bounced\"} 2",
           // bob and dan after 7 s, eve after 40 s.
           "kestran_deliver_delay_seconds_bucket{le=\"5\"} 0",
           "kestran_deliver_delay_seconds_bucket{le=\"10\"} 2",
           "kestran_deliver_delay_seconds_bucket{le=\"30\"} 2",
           "kestran_deliver_delay_seconds_bucket{le=\"60\"} 3",
           "kestran_deliver_delay_seconds_bucket{le=\"+Inf\"} 3",
           "kestran_deliver_delay_seconds_sum 54",
           "kestran_deliver_delay_seconds_count 3",
           "kestran_deliver_notifications_total{result=\"sent\"} 2",
           "kestran_deliver_queue_pairs{state=\"failed\"} 1",
           "kestran_deliver_queue_pairs{state=\"new\"} 0",
           "kestran_deliver_build_info{version=\"0.45\"} 1",
       })
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  ASSERT_TRUE(test::WriteFileText(dir.path() + "deliver.prom", text));
  EXPECT_EQ(test::PromtoolObjections(dir.path() + "deliver.prom"), "") << text;
}

TEST(DeliverMetrics, TheQueueIsCountedByStateFromTheNamesAlone) {
  test::ScratchDir dir;
  const std::string q = dir.path();
  for (const char* sub : {"failed", "damaged"}) std::filesystem::create_directories(q + sub);
  auto put = [&](const std::string& name) { ASSERT_TRUE(test::WriteFileText(q + name, "x")); };
  const double now = static_cast<double>(::time(nullptr));
  // New: a complete pair without a state file; deferred: one with it.
  for (const char* n : {"B0000000001.MSG", "B0000000001.RCP", "B0000000002.MSG", "B0000000002.RCP",
                        "B0000000002.DLV", "B0000000003.MSG", "B0000000003.RCP", "B0000000003.DLV"})
    put(n);
  SetQueuedAt(q + "B0000000001.RCP", now - 300);
  SetQueuedAt(q + "B0000000003.RCP", now - 90);
  // Not pairs waiting: a message still without recipients, a recipient file under its
  // temporary name, a delivered pair's state file, and foreign files.
  for (const char* n : {"B0000000004.MSG", "B0000000005.0123456789abcdef.RC~", "B0000000006.DLV",
                        "notes.txt", "kestran-deliver.lock"})
    put(n);
  for (const char* n : {"failed/B0000000007.RCP", "failed/B0000000007.MSG",
                        "failed/B0000000008.RCP", "damaged/B0000000009.RCP"})
    put(n);
  TDeliverQueueGauges g = CountDeliverQueue(q, static_cast<int64_t>(now));
  EXPECT_TRUE(g.Scanned);
  EXPECT_EQ(g.NewPairs, 1u);
  EXPECT_EQ(g.DeferredPairs, 2u);
  EXPECT_EQ(g.FailedPairs, 2u);
  EXPECT_EQ(g.DamagedPairs, 1u);
  EXPECT_EQ(g.OldestPairAgeSeconds, 300);
  // A queue that cannot be read leaves its gauges out rather than reporting it empty.
  g = CountDeliverQueue(q + "missing/", static_cast<int64_t>(now));
  EXPECT_FALSE(g.Scanned);
  const std::string text = FormatDeliverMetrics(TDeliverMetrics(), g, "0.45");
  EXPECT_EQ(text.find("kestran_deliver_queue_pairs"), std::string::npos);
  EXPECT_NE(text.find("\nkestran_deliver_pairs_in_progress 0\n"), std::string::npos);
}

// The example alert rules of kestran-deliver's group query only series its file holds.
TEST(DeliverMetrics, AlertRulesQueryOnlyWrittenNames) {
  const char* source = std::getenv("KESTRAN_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string rules = test::ReadFileText(std::string(source) + "/docs/kestran-alerts.yml");
  ASSERT_FALSE(rules.empty());
  TDeliverQueueGauges g;
  g.Scanned = true;
  const std::string written = FormatDeliverMetrics(TDeliverMetrics(), g, "0.45");
  const std::regex name("kestran_deliver_[a-z_]+");
  int names = 0;
  for (std::sregex_iterator it(rules.begin(), rules.end(), name), end; it != end; ++it, ++names)
    EXPECT_NE(written.find("\n" + it->str()), std::string::npos) << it->str();
  EXPECT_GE(names, 5);
}

}  // namespace
}  // namespace kestran
