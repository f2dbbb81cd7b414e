#include "smtp/metrics_text.h"

#include <array>

#include "smtp/metrics_writer.h"

namespace kestran {
namespace {

// Reply codes listed even before they are first sent, so that rates start from zero.
constexpr std::array<int, 15> kKnownReplyCodes = {220, 221, 250, 354, 421, 451, 452, 500,
                                                  501, 502, 503, 550, 552, 554, 555};

constexpr std::array<const char*, kRecipientRefusals> kRefusalNames = {
    "relaying_denied", "unknown_user", "too_many_recipients", "syntax", "access_denied"};
constexpr std::array<const char*, kLookupResults> kBlockListResults = {"listed", "not_listed",
                                                                       "timeout", "error"};
constexpr std::array<const char*, kLookupResults> kReverseResults = {"found", "not_found",
                                                                     "timeout", "error"};

void WriteReplies(TMetricsWriter& w, const TReceiverMetrics& m) {
  w.Family("kestran_smtp_replies_total", "counter", "SMTP replies sent, by reply code.");
  for (int code = 200; code <= 599; ++code) {
    bool known = false;
    for (int k : kKnownReplyCodes) known = known || k == code;
    const uint64_t n = m.Replies(code);
    if (known || n != 0)
      w.Sample("kestran_smtp_replies_total", MetricLabel("code", std::to_string(code)), n);
  }
}

void WriteConnections(TMetricsWriter& w, const TReceiverMetrics& m,
                      const std::vector<std::string>& lists) {
  const uint64_t accepted = TReceiverMetrics::Load(m.ConnectionsAccepted);
  const uint64_t closed = TReceiverMetrics::Load(m.ConnectionsClosed);
  w.Single("kestran_connections_accepted_total", "counter",
           "Connections accepted and given a session.", accepted);
  w.Family("kestran_connections_refused_total", "counter",
           "Connections refused, by cause; a DNS block list's refusals carry the list's name.");
  const char* name = "kestran_connections_refused_total";
  w.Sample(name, MetricLabel("cause", "connection_limit"),
           TReceiverMetrics::Load(m.RefusedByLimit));
  w.Sample(name, MetricLabel("cause", "black_list"), TReceiverMetrics::Load(m.RefusedByBlackList));
  for (size_t i = 0; i < lists.size(); ++i)
    w.Sample(name, MetricLabel("cause", "dns_block_list") + "," + MetricLabel("list", lists[i]),
             m.BlockListRefusals(i));
  w.Single("kestran_connections_open", "gauge", "Connections with a session now.",
           accepted > closed ? accepted - closed : 0);
}

void WriteIntake(TMetricsWriter& w, const TReceiverMetrics& m) {
  w.Single("kestran_messages_queued_total", "counter", "Messages written to the queue directory.",
           TReceiverMetrics::Load(m.MessagesQueued));
  w.Single("kestran_messages_queued_bytes_total", "counter",
           "Bytes of message bodies written to the queue directory.",
           TReceiverMetrics::Load(m.BytesQueued));
  w.Single("kestran_recipients_accepted_total", "counter", "Recipients accepted by RCPT.",
           TReceiverMetrics::Load(m.RecipientsAccepted));
  w.Family("kestran_recipients_refused_total", "counter", "Recipients refused, by reason.");
  for (size_t i = 0; i < kRecipientRefusals; ++i)
    w.Sample("kestran_recipients_refused_total", MetricLabel("reason", kRefusalNames[i]),
             m.RecipientsRefused(static_cast<TRecipientRefusal>(i)));
  w.Single("kestran_pop_before_smtp_relays_total", "counter",
           "Sessions allowed to relay by a recent POP3 login from their address.",
           TReceiverMetrics::Load(m.PopRelays));
}

void WriteRateLimits(TMetricsWriter& w, const TReceiverMetrics& m) {
  w.Family("kestran_ratelimit_refused_total", "counter",
           "Connections and commands refused by the rate limits, by limit.");
  for (size_t i = 0; i < kRateRefusals; ++i)
    w.Sample("kestran_ratelimit_refused_total", MetricLabel("limit", kRateRefusalNames[i]),
             m.RateLimitRefused(static_cast<TRateRefusal>(i)));
  w.Family("kestran_ratelimit_would_refuse_total", "counter",
           "What the rate limits would have refused, let through by RateLimitLogOnly, by limit.");
  for (size_t i = 0; i < kRateRefusals; ++i)
    w.Sample("kestran_ratelimit_would_refuse_total", MetricLabel("limit", kRateRefusalNames[i]),
             m.RateLimitWouldRefuse(static_cast<TRateRefusal>(i)));
  w.Single("kestran_ratelimit_keys", "gauge", "Client keys held in the rate-limit table.",
           TReceiverMetrics::Load(m.RateLimitKeys));
  w.Single("kestran_ratelimit_evictions_total", "counter",
           "Client keys that still counted, evicted from the full rate-limit table.",
           TReceiverMetrics::Load(m.RateLimitEvictions));
}

void WriteLookups(TMetricsWriter& w, const TReceiverMetrics& m,
                  const std::vector<std::string>& lists) {
  w.Family("kestran_dnsbl_lookups_total", "counter", "DNS block list lookups, by list and result.");
  for (size_t i = 0; i < lists.size(); ++i)
    for (size_t r = 0; r < kLookupResults; ++r)
      w.Sample("kestran_dnsbl_lookups_total",
               MetricLabel("list", lists[i]) + "," + MetricLabel("result", kBlockListResults[r]),
               m.BlockListLookups(i, static_cast<TLookupResult>(r)));
  w.Family("kestran_reverse_lookups_total", "counter",
           "Reverse DNS lookups of client addresses, by result.");
  for (size_t r = 0; r < kLookupResults; ++r)
    w.Sample("kestran_reverse_lookups_total", MetricLabel("result", kReverseResults[r]),
             m.ReverseLookups(static_cast<TLookupResult>(r)));
}

void WriteTls(TMetricsWriter& w, const TReceiverMetrics& m) {
  w.Family("kestran_tls_handshakes_total", "counter", "STARTTLS handshakes, by result.");
  w.Sample("kestran_tls_handshakes_total", MetricLabel("result", "success"),
           TReceiverMetrics::Load(m.TlsHandshakesOk));
  w.Sample("kestran_tls_handshakes_total", MetricLabel("result", "failure"),
           TReceiverMetrics::Load(m.TlsHandshakesFailed));
  w.Family("kestran_tls_messages_total", "counter",
           "Messages queued from sessions under TLS, by protocol version.");
  for (size_t i = 0; i < kTlsVersionNames.size(); ++i)
    w.Sample("kestran_tls_messages_total", MetricLabel("version", kTlsVersionNames[i]),
             m.TlsMessages(i));
}

void WriteQueue(TMetricsWriter& w, const TReceiverMetrics& m, const TMetricsGauges& g) {
  w.Single("kestran_queue_store_failures_total", "counter",
           "Messages answered 451 because they could not be queued.",
           TReceiverMetrics::Load(m.StoreFailures));
  w.Single("kestran_queue_storage_refusals_total", "counter",
           "MAIL commands answered 452 for want of room in the queue.",
           TReceiverMetrics::Load(m.StorageRefusals));
  w.Single("kestran_queue_flushes_total", "counter",
           "Flushes of the queue directory's files to disk.", m.Flushes());
  w.Single("kestran_queue_flush_failures_total", "counter",
           "Flushes of the queue directory that failed.", m.FlushFailures());
  std::vector<uint64_t> counts;
  for (size_t i = 0; i <= kFlushBuckets.size(); ++i) counts.push_back(m.FlushBucket(i));
  w.Histogram("kestran_queue_flush_duration_seconds", "Time one flush of the queue directory took.",
              std::vector<double>(kFlushBuckets.begin(), kFlushBuckets.end()), counts,
              static_cast<double>(m.FlushNanoseconds()) / 1e9);

  if (g.QueueScanned) {
    w.Single("kestran_queue_pairs", "gauge",
             "Complete message pairs waiting in the queue directory.", g.QueuePairs);
    w.Family("kestran_queue_oldest_pair_age_seconds", "gauge",
             "Age of the oldest pair waiting in the queue directory (0 when none waits).");
    w.Sample("kestran_queue_oldest_pair_age_seconds", "", MetricNumber(g.OldestPairAgeSeconds));
  }
  if (g.QueueFreeBytes >= 0)
    w.Single("kestran_queue_filesystem_free_bytes", "gauge",
             "Free space of the file system that holds the queue directory.",
             static_cast<uint64_t>(g.QueueFreeBytes));
  w.Single("kestran_queue_refusing_mail", "gauge",
           "1 while MAIL is answered 452 for want of room in the queue.", g.RefusingMail ? 1 : 0);
}

}  // namespace

std::string FormatMetrics(const TReceiverMetrics& m, const TMetricsGauges& g) {
  TMetricsWriter w;
  const std::vector<std::string> lists = m.BlockListNames();
  WriteConnections(w, m, lists);
  WriteReplies(w, m);
  WriteIntake(w, m);
  WriteRateLimits(w, m);
  WriteLookups(w, m, lists);
  WriteTls(w, m);
  WriteQueue(w, m, g);
  w.Family("kestran_build_info", "gauge", "The receiver's version; the value is always 1.");
  w.Sample("kestran_build_info", MetricLabel("version", g.Version), 1);
  w.Single("kestran_process_start_time_seconds", "gauge",
           "Start time of the process since 1970 in seconds.",
           static_cast<uint64_t>(m.StartTime()));
  return std::move(w.Text());
}

}  // namespace kestran
