#include "deliver/deliver_metrics.h"

#include <ctime>
#include <unordered_set>
#include <vector>

#include "deliver/queue_pair.h"
#include "platform/files.h"
#include "smtp/metrics_writer.h"

namespace kestran {

namespace {

constexpr std::array<const char*, kDeliverResults> kResultNames = {"sent", "deferred", "bounced"};

// The pairs (recipient files under their final names) in dir.
uint64_t PairsIn(const std::string& dir) {
  std::vector<TDirEntry> entries;
  if (!ListDirectory(dir, entries, false)) return 0;
  uint64_t pairs = 0;
  for (const auto& e : entries) pairs += PairStem(e.name, ".RCP").empty() ? 0 : 1;
  return pairs;
}

}  // namespace

TDeliverMetrics::TDeliverMetrics() : startTime_(static_cast<int64_t>(std::time(nullptr))) {}

void TDeliverMetrics::CountRecipient(TDeliverResult result, double delaySeconds) {
  Add(recipients_[Index(result)]);
  if (result != TDeliverResult::Sent) return;
  if (delaySeconds < 0) delaySeconds = 0;
  size_t bucket = 0;
  while (bucket < kDeliveryDelayBuckets.size() && delaySeconds > kDeliveryDelayBuckets[bucket])
    ++bucket;
  Add(delayBuckets_[bucket]);
  Add(delayMicroseconds_, static_cast<uint64_t>(delaySeconds * 1e6));
}

TDeliverQueueGauges CountDeliverQueue(const std::string& queueDir, int64_t now) {
  TDeliverQueueGauges g;
  std::vector<TDirEntry> entries;
  if (!ListDirectory(queueDir, entries)) return g;
  g.Scanned = true;
  std::unordered_set<std::string> states;
  for (const auto& e : entries) {
    std::string stem = PairStem(e.name, ".DLV");
    if (!stem.empty()) states.insert(std::move(stem));
  }
  int64_t oldest = 0;
  for (const auto& e : entries) {
    const std::string stem = PairStem(e.name, ".RCP");
    if (stem.empty()) continue;
    // A pair with a state file has been tried: it waits for its next try.
    if (states.count(stem) != 0)
      ++g.DeferredPairs;
    else
      ++g.NewPairs;
    if (oldest == 0 || e.modified < oldest) oldest = e.modified;
  }
  if (oldest != 0 && now > oldest) g.OldestPairAgeSeconds = static_cast<double>(now - oldest);
  g.FailedPairs = PairsIn(queueDir + "failed/");
  g.DamagedPairs = PairsIn(queueDir + "damaged/");
  return g;
}

std::string FormatDeliverMetrics(const TDeliverMetrics& m, const TDeliverQueueGauges& g,
                                 const std::string& version) {
  TMetricsWriter w;
  w.Family("kestran_deliver_messages_total", "counter",
           "Passes over queued messages, by result: sent and bounced when the message left "
           "the queue (bounced: a recipient failed), deferred when recipients wait to be "
           "tried again.");
  for (size_t r = 0; r < kDeliverResults; ++r)
    w.Sample("kestran_deliver_messages_total", MetricLabel("result", kResultNames[r]),
             m.Messages(static_cast<TDeliverResult>(r)));
  w.Family("kestran_deliver_recipients_total", "counter",
           "Delivery attempts for single recipients, by result.");
  for (size_t r = 0; r < kDeliverResults; ++r)
    w.Sample("kestran_deliver_recipients_total", MetricLabel("result", kResultNames[r]),
             m.Recipients(static_cast<TDeliverResult>(r)));
  std::vector<uint64_t> counts;
  for (size_t i = 0; i <= kDeliveryDelayBuckets.size(); ++i) counts.push_back(m.DelayBucket(i));
  w.Histogram("kestran_deliver_delay_seconds",
              "Time from queueing to delivery of each recipient delivered.",
              std::vector<double>(kDeliveryDelayBuckets.begin(), kDeliveryDelayBuckets.end()),
              counts, m.DelaySumSeconds());
  w.Family("kestran_deliver_notifications_total", "counter",
           "Non-delivery notifications to senders, by whether the next hop took them.");
  w.Sample("kestran_deliver_notifications_total", MetricLabel("result", "sent"),
           m.NotificationsSent());
  w.Sample("kestran_deliver_notifications_total", MetricLabel("result", "failed"),
           m.NotificationsFailed());
  if (g.Scanned) {
    const char* pairs = "kestran_deliver_queue_pairs";
    w.Family(pairs, "gauge",
             "Queue pairs by state: new and deferred wait in the queue directory, failed and "
             "damaged were set aside in its subdirectories of those names.");
    w.Sample(pairs, MetricLabel("state", "new"), g.NewPairs);
    w.Sample(pairs, MetricLabel("state", "deferred"), g.DeferredPairs);
    w.Sample(pairs, MetricLabel("state", "failed"), g.FailedPairs);
    w.Sample(pairs, MetricLabel("state", "damaged"), g.DamagedPairs);
    w.Family("kestran_deliver_queue_oldest_pair_age_seconds", "gauge",
             "Age of the oldest pair waiting in the queue directory (0 when none waits).");
    w.Sample("kestran_deliver_queue_oldest_pair_age_seconds", "",
             MetricNumber(g.OldestPairAgeSeconds));
  }
  w.Single("kestran_deliver_pairs_in_progress", "gauge", "Queue pairs being delivered now.",
           g.InProgress);
  w.Family("kestran_deliver_build_info", "gauge",
           "The delivery agent's version; the value is always 1.");
  w.Sample("kestran_deliver_build_info", MetricLabel("version", version), 1);
  w.Single("kestran_deliver_process_start_time_seconds", "gauge",
           "Start time of the process since 1970 in seconds.",
           static_cast<uint64_t>(m.StartTime()));
  return std::move(w.Text());
}

}  // namespace kestran
