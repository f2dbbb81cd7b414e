#include "smtp/metrics_text.h"

#include <array>
#include <cstdio>

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

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

class TWriter {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  void Sample(const std::string& name, const std::string& labels, const std::string& value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += ' ';
    text_ += value;
    text_ += '\n';
  }
  void Sample(const std::string& name, const std::string& labels, uint64_t value) {
    Sample(name, labels, std::to_string(value));
  }
  void Single(const char* name, const char* type, const char* help, uint64_t value) {
    Family(name, type, help);
    Sample(name, "", value);
  }
  std::string& Text() { return text_; }

 private:
  std::string text_;
};

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

void WriteReplies(TWriter& w, const TReceiverMetrics& m) {
  w.Family("kestran_smtp_replies_total", "counter", "SMTP replies sent, by reply code.");
  for (int code = 200; code <= 599; ++code) {
    bool known = false;
    for (int k : kKnownReplyCodes) known = known || k == code;
    const uint64_t n = m.Replies(code);
    if (known || n != 0)
      w.Sample("kestran_smtp_replies_total", Label("code", std::to_string(code)), n);
  }
}

void WriteConnections(TWriter& w, const TReceiverMetrics& m,
                      const std::vector<std::string>& lists) {
  const uint64_t accepted = TReceiverMetrics::Load(m.ConnectionsAccepted);
  const uint64_t closed = TReceiverMetrics::Load(m.ConnectionsClosed);
  w.Single("kestran_connections_accepted_total", "counter",
           "Connections accepted and given a session.", accepted);
  w.Family("kestran_connections_refused_total", "counter",
           "Connections refused, by cause; a DNS block list's refusals carry the list's name.");
  const char* name = "kestran_connections_refused_total";
  w.Sample(name, Label("cause", "connection_limit"), TReceiverMetrics::Load(m.RefusedByLimit));
  w.Sample(name, Label("cause", "black_list"), TReceiverMetrics::Load(m.RefusedByBlackList));
  for (size_t i = 0; i < lists.size(); ++i)
    w.Sample(name, Label("cause", "dns_block_list") + "," + Label("list", lists[i]),
             m.BlockListRefusals(i));
  w.Single("kestran_connections_open", "gauge", "Connections with a session now.",
           accepted > closed ? accepted - closed : 0);
}

void WriteIntake(TWriter& w, const TReceiverMetrics& m) {
  w.Single("kestran_messages_queued_total", "counter", "Messages written to the queue directory.",
           TReceiverMetrics::Load(m.MessagesQueued));
  w.Single("kestran_messages_queued_bytes_total", "counter",
           "Bytes of message bodies written to the queue directory.",
           TReceiverMetrics::Load(m.BytesQueued));
  w.Single("kestran_recipients_accepted_total", "counter", "Recipients accepted by RCPT.",
           TReceiverMetrics::Load(m.RecipientsAccepted));
  w.Family("kestran_recipients_refused_total", "counter", "Recipients refused, by reason.");
  for (size_t i = 0; i < kRecipientRefusals; ++i)
    w.Sample("kestran_recipients_refused_total", Label("reason", kRefusalNames[i]),
             m.RecipientsRefused(static_cast<TRecipientRefusal>(i)));
  w.Single("kestran_pop_before_smtp_relays_total", "counter",
           "Sessions allowed to relay by a recent POP3 login from their address.",
           TReceiverMetrics::Load(m.PopRelays));
}

void WriteLookups(TWriter& w, const TReceiverMetrics& m, const std::vector<std::string>& lists) {
  w.Family("kestran_dnsbl_lookups_total", "counter", "DNS block list lookups, by list and result.");
  for (size_t i = 0; i < lists.size(); ++i)
    for (size_t r = 0; r < kLookupResults; ++r)
      w.Sample("kestran_dnsbl_lookups_total",
               Label("list", lists[i]) + "," + Label("result", kBlockListResults[r]),
               m.BlockListLookups(i, static_cast<TLookupResult>(r)));
  w.Family("kestran_reverse_lookups_total", "counter",
           "Reverse DNS lookups of client addresses, by result.");
  for (size_t r = 0; r < kLookupResults; ++r)
    w.Sample("kestran_reverse_lookups_total", Label("result", kReverseResults[r]),
             m.ReverseLookups(static_cast<TLookupResult>(r)));
}

void WriteTls(TWriter& w, const TReceiverMetrics& m) {
  w.Family("kestran_tls_handshakes_total", "counter", "STARTTLS handshakes, by result.");
  w.Sample("kestran_tls_handshakes_total", Label("result", "success"),
           TReceiverMetrics::Load(m.TlsHandshakesOk));
  w.Sample("kestran_tls_handshakes_total", Label("result", "failure"),
           TReceiverMetrics::Load(m.TlsHandshakesFailed));
  w.Family("kestran_tls_messages_total", "counter",
           "Messages queued from sessions under TLS, by protocol version.");
  for (size_t i = 0; i < kTlsVersionNames.size(); ++i)
    w.Sample("kestran_tls_messages_total", Label("version", kTlsVersionNames[i]), m.TlsMessages(i));
}

void WriteQueue(TWriter& w, const TReceiverMetrics& m, const TMetricsGauges& g) {
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
  const char* h = "kestran_queue_flush_duration_seconds";
  w.Family(h, "histogram", "Time one flush of the queue directory took.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < kFlushBuckets.size(); ++i) {
    cumulative += m.FlushBucket(i);
    w.Sample(std::string(h) + "_bucket", Label("le", Number(kFlushBuckets[i])), cumulative);
  }
  cumulative += m.FlushBucket(kFlushBuckets.size());
  // Buckets and count are read one after the other while flushes go on: the count is the
  // +Inf bucket, so that the two always agree.
  w.Sample(std::string(h) + "_bucket", Label("le", "+Inf"), cumulative);
  w.Sample(std::string(h) + "_sum", "", Number(static_cast<double>(m.FlushNanoseconds()) / 1e9));
  w.Sample(std::string(h) + "_count", "", cumulative);

  if (g.QueueScanned) {
    w.Single("kestran_queue_pairs", "gauge",
             "Complete message pairs waiting in the queue directory.", g.QueuePairs);
    w.Family("kestran_queue_oldest_pair_age_seconds", "gauge",
             "Age of the oldest pair waiting in the queue directory (0 when none waits).");
    w.Sample("kestran_queue_oldest_pair_age_seconds", "", Number(g.OldestPairAgeSeconds));
  }
  if (g.QueueFreeBytes >= 0)
    w.Single("kestran_queue_filesystem_free_bytes", "gauge",
             "Free space of the file system that holds the queue directory.",
             static_cast<uint64_t>(g.QueueFreeBytes));
  w.Single("kestran_queue_refusing_mail", "gauge",
           "1 while MAIL is answered 452 for want of room in the queue.", g.RefusingMail ? 1 : 0);
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatMetrics(const TReceiverMetrics& m, const TMetricsGauges& g) {
  TWriter w;
  const std::vector<std::string> lists = m.BlockListNames();
  WriteConnections(w, m, lists);
  WriteReplies(w, m);
  WriteIntake(w, m);
  WriteLookups(w, m, lists);
  WriteTls(w, m);
  WriteQueue(w, m, g);
  w.Family("kestran_build_info", "gauge", "The receiver's version; the value is always 1.");
  w.Sample("kestran_build_info", Label("version", g.Version), 1);
  w.Single("kestran_process_start_time_seconds", "gauge",
           "Start time of the process since 1970 in seconds.",
           static_cast<uint64_t>(m.StartTime()));
  return std::move(w.Text());
}

}  // namespace kestran
