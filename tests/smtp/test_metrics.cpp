// The receiver's counters as Prometheus reads them, and the back-pressure that refuses
// MAIL while the queue is full or its file system short of space.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <vector>

#include "config/temp_root.h"
#include "smtp/metrics_text.h"
#include "smtp/queue_census.h"
#include "smtp/queue_room.h"
#include "smtp/receiver_metrics.h"
#include "support/promtool.h"
#include "support/test_cert.h"

namespace kestran {
namespace {

bool Has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(Metrics, TextCarriesEveryCountInAFormatPromtoolAccepts) {
  TReceiverMetrics m;
  m.SetBlockListNames({"bl.test", "odd\"name\\x"});
  // A multi-line reply counts once, at its last line; a line without a code not at all.
  for (const char* line : {"250-PIPELINING", "250-SIZE 100", "250 STARTTLS", "250 OK", "421 busy",
                           "25", "abc def", "600 nothing", "199 nothing"})
    m.CountReplyLine(line);
  Count(m.ConnectionsAccepted, 5);
  Count(m.ConnectionsClosed, 3);
  Count(m.RefusedByLimit);
  m.CountBlockListLookup(0, TLookupResult::Found);
  m.CountBlockListRefusal(0);
  m.CountBlockListLookup(1, TLookupResult::Timeout);
  m.CountBlockListLookup(1, TLookupResult::Timeout);
  m.CountReverseLookup(LookupFailure(11002));
  m.CountReverseLookup(LookupFailure(11001));
  m.CountReverseLookup(LookupFailure(10050));
  m.CountRecipientRefused(TRecipientRefusal::TooMany);
  m.CountTlsMessage("TLSv1.3");
  m.CountTlsMessage("SSLv3");
  Count(m.BytesQueued, 12345);
  // 0.3 ms, 0.7 ms, 3 s (past every bound).
  m.CountFlush(300000, true);
  m.CountFlush(700000, false);
  m.CountFlush(3000000000ull, true);

  TMetricsGauges g;
  g.Version = "0.45";
  g.QueueScanned = true;
  g.QueuePairs = 7;
  g.OldestPairAgeSeconds = 90;
  g.QueueFreeBytes = 1 << 20;
  const std::string text = "\n" + FormatMetrics(m, g);

  for (const char* line : {
           "kestran_smtp_replies_total{code=\"250\"} 2",
           "kestran_smtp_replies_total{code=\"421\"} 1",
           "kestran_smtp_replies_total{code=\"451\"} 0",
           "kestran_connections_accepted_total 5",
           "kestran_connections_open 2",
           "kestran_connections_refused_total{cause=\"connection_limit\"} 1",
           "kestran_connections_refused_total{cause=\"dns_block_list\",list=\"bl.test\"} 1",
           "kestran_dnsbl_lookups_total{list=\"odd\\\"name\\\\x\",result=\"timeout\"} 2",
           "kestran_reverse_lookups_total{result=\"timeout\"} 1",
           "kestran_reverse_lookups_total{result=\"not_found\"} 1",
           "kestran_reverse_lookups_total{result=\"error\"} 1",
           "kestran_recipients_refused_total{reason=\"too_many_recipients\"} 1",
           "kestran_tls_messages_total{version=\"TLSv1.3\"} 1",
           "kestran_tls_messages_total{version=\"other\"} 1",
           "kestran_messages_queued_bytes_total 12345",
           "kestran_queue_flush_duration_seconds_bucket{le=\"0.0005\"} 1",
           "kestran_queue_flush_duration_seconds_bucket{le=\"0.001\"} 2",
           "kestran_queue_flush_duration_seconds_bucket{le=\"2.5\"} 2",
           "kestran_queue_flush_duration_seconds_bucket{le=\"+Inf\"} 3",
           "kestran_queue_flush_duration_seconds_count 3",
           "kestran_queue_flush_duration_seconds_sum 3.001",
           "kestran_queue_flush_failures_total 1",
           "kestran_queue_pairs 7",
           "kestran_queue_oldest_pair_age_seconds 90",
           "kestran_queue_filesystem_free_bytes 1048576",
           "kestran_build_info{version=\"0.45\"} 1",
           "# TYPE kestran_queue_flush_duration_seconds histogram",
           "# TYPE kestran_messages_queued_total counter",
       })
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  EXPECT_EQ(text.find("code=\"600\""), std::string::npos);
  EXPECT_EQ(text.find("code=\"199\""), std::string::npos);

  test::TTempRoot root;
  root.WriteFile("m.prom", text.substr(1));
  bool skipped = false;
  EXPECT_EQ(test::PromtoolObjections(root.Path("m.prom"), &skipped), "");
  if (skipped) GTEST_SKIP() << "promtool is not installed";
}

// The example alert rules are valid, and every kestran_ series they query is one that the
// file holds.
TEST(Metrics, AlertRulesPassPromtoolAndQueryOnlyWrittenNames) {
  const char* source = std::getenv("KESTRAN_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string rules = std::string(source) + "/docs/kestran-alerts.yml";
  std::ifstream in(rules);
  ASSERT_TRUE(in) << rules;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  TMetricsGauges g;
  g.QueueScanned = true;
  g.QueueFreeBytes = 0;
  TReceiverMetrics m;
  m.SetBlockListNames({"bl.test"});
  const std::string written = FormatMetrics(m, g);
  const std::regex name("kestran_[a-z_]+");
  int names = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it, ++names) {
    // kestran-deliver's own group is checked against its file.
    if (it->str().rfind("kestran_deliver_", 0) == 0) continue;
    EXPECT_NE(written.find("\n" + it->str()), std::string::npos) << it->str();
  }
  EXPECT_GE(names, 6);

  std::string out;
  if (test::RunCommand("command -v promtool", out) != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "promtool is missing (Debian package prometheus)";
    GTEST_SKIP() << "promtool is not installed";
  }
  EXPECT_EQ(test::RunCommand("promtool check rules " + rules, out), 0) << out;
}

// The scenarios beside the rules: a stalled next hop, an old pair, a stale file of either
// program, refusals for want of room and a rise in bounces each fire their alert in time.
TEST(Metrics, AlertRulesFireInTheirScenarios) {
  const char* source = std::getenv("KESTRAN_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::string out;
  if (test::RunCommand("command -v promtool", out) != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "promtool is missing (Debian package prometheus)";
    GTEST_SKIP() << "promtool is not installed";
  }
  const std::string scenarios = std::string(source) + "/docs/kestran-alerts.test.yml";
  EXPECT_EQ(test::RunCommand("promtool test rules " + scenarios, out), 0) << out;
}

class QueueRoomTest : public ::testing::Test {
 protected:
  void Put(const std::string& name) { root_.WriteFile("q/" + name, "x"); }
  std::string Dir() const { return root_.Path("q"); }

  test::TTempRoot root_;
  std::vector<std::pair<bool, std::string>> changes_;
};

TEST_F(QueueRoomTest, PairLimitIsSampledOnceASecondAndReportedOnceAMinute) {
  Put("B0000000001.MSG");
  Put("B0000000001.RCP");
  Put("B0000000002.MSG");
  Put("B0000000002.rcp");
  Put("B0000000003.MSG");
  Put("B0000000003.0123456789abcdef.RC~");  // not complete yet
  Put("notes.txt");
  TQueueCensus census = TakeQueueCensus(Dir());
  EXPECT_TRUE(census.Read);
  EXPECT_EQ(census.Pairs, 2u);
  EXPECT_GT(census.OldestModified, 0);

  TQueueRoom room;
  room.OnChange = [&](bool refusing, const std::string& text) {
    changes_.emplace_back(refusing, text);
  };
  room.Configure(Dir(), 3, 0);
  EXPECT_TRUE(room.HasRoom(1000));
  Put("B0000000003.RCP");
  EXPECT_TRUE(room.HasRoom(1999)) << "the directory is looked at once a second";
  EXPECT_FALSE(room.HasRoom(2000));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_TRUE(changes_[0].first);
  EXPECT_EQ(changes_[0].second,
            "Mail is refused with 452 until the queue has room: 3 pairs wait (limit 3)");

  std::filesystem::remove(Dir() + "/B0000000001.RCP");
  EXPECT_TRUE(room.HasRoom(3000));
  EXPECT_EQ(changes_.size(), 1u) << "no second line within the minute";
  EXPECT_TRUE(room.NeedsLooking()) << "the end of the refusing is still to be reported";
  EXPECT_TRUE(room.HasRoom(62000));
  ASSERT_EQ(changes_.size(), 2u);
  EXPECT_FALSE(changes_[1].first);
  EXPECT_EQ(changes_[1].second, "Mail is taken again, the queue has room: 2 pairs wait (limit 3)");
  EXPECT_FALSE(room.NeedsLooking());

  // No limit at all: nothing is looked at. An unreadable directory is not taken as full.
  room.Configure(Dir(), 0, 0);
  EXPECT_FALSE(room.Enabled());
  room.Configure(Dir() + "/missing", 1, 0);
  EXPECT_TRUE(room.HasRoom(70000));
}

TEST_F(QueueRoomTest, FreeSpaceBelowTheMinimumRefuses) {
  Put("B0000000001.RCP");
  TQueueRoom room;
  room.OnChange = [&](bool refusing, const std::string& text) {
    changes_.emplace_back(refusing, text);
  };
  room.Configure(Dir(), 0, std::numeric_limits<uint64_t>::max() / 2);
  EXPECT_FALSE(room.HasRoom(1000));
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_NE(changes_[0].second.find(" MB free on its file system (at least "), std::string::npos)
      << changes_[0].second;
  room.Configure(Dir(), 0, 1);
  EXPECT_TRUE(room.HasRoom(2000));
}

}  // namespace
}  // namespace kestran
