// test-labels: threads
// The metrics file of the running receiver after a scripted run (exact counts of
// accepted, refused, block-listed and TLS sessions), read while it is rewritten; and the
// back-pressure that answers MAIL with 452 while the queue is at its pair limit or its
// file system runs short, until there is room again.

#include <sys/mount.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fault_fixture.h"
#include "support/dns_server.h"
#include "support/promtool.h"
#include "support/test_cert.h"

namespace kestran::test {
namespace {

constexpr const char* kRefusedForStorage = "452 4.3.1 Insufficient system storage";

class ReceiverMetrics : public FaultTest {
 protected:
  void TearDown() override {
    StopReceiver();
    if (mounted_) ::umount2(Native("mail/prein").c_str(), MNT_DETACH);
    FaultTest::TearDown();
  }
  static std::string MetricsValues(const std::string& more = "") {
    return "\"MetricsFile\"=\"C:\\\\metrics\\\\kestran.prom\"\r\n"
           "\"MetricsInterval\"=dword:00000005\r\n" +
           more;
  }
  std::string MetricsPath() const { return Native("metrics/kestran.prom"); }
  // The value of one sample line ("name{labels}"), or -1 when the file lacks it.
  static double Value(const std::string& text, const std::string& sample) {
    size_t at = text.find("\n" + sample + " ");
    if (at == std::string::npos) return -1;
    return std::stod(text.substr(at + sample.size() + 2));
  }
  // Sleeps past the one-second sampling of the queue's room.
  static void NextSample() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }
  // A session that says MAIL; its reply, then the rest of a transaction when it was taken.
  std::string Mail(const std::string& body) {
    LineClient c("127.0.0.1", port_);
    c.Line();
    c.Command("HELO room.test");
    std::string r = c.Command("MAIL FROM:<a@room.test>");
    if (r.rfind("250", 0) != 0) return r;
    c.Command("RCPT TO:<bob@example.test>");
    c.Command("DATA");
    c.Send(body + ".\r\n");
    return c.Line();
  }
  void RemoveAllPairs() {
    for (const auto& name : AllQueueFiles()) std::filesystem::remove(Native("mail/prein/" + name));
  }

  bool mounted_ = false;
};

TEST_F(ReceiverMetrics, ScriptedRunGivesExactCountsInAWholeFile) {
  if (!DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
  std::string out;
  if (RunCommand("command -v swaks", out) != 0) GTEST_SKIP() << "swaks is not installed";
  MakeDir("tls");
  if (!MakeSelfSignedCert(Native("tls/cert.pem"), Native("tls/key.pem")))
    GTEST_SKIP() << "openssl cannot make a certificate";
  DnsServer dns;
  dns.AddARecord("4.0.0.127.bl.test", "127.0.0.2");
  ASSERT_TRUE(dns.Start()) << dns.error();
  MakeDir("metrics");
  WriteRegistry(BaseRegistry(MetricsValues(
                    "\"DoDNSLists\"=dword:00000001\r\n\"DNSTimeout\"=dword:000007d0\r\n"
                    "\"DNSServers\"=\"" +
                    dns.server() +
                    "\"\r\n\"MaxConnectionsPerIP\"=dword:00000001\r\n"
                    "\"MaxQueuedMessages\"=dword:000186a0\r\n\"MinFreeSpaceMB\"=dword:00000001\r\n"
                    "\"ESMTP\"=dword:00000001\r\n"
                    "\"TLSCertificateFile\"=\"C:\\\\tls\\\\cert.pem\"\r\n"
                    "\"TLSKeyFile\"=\"C:\\\\tls\\\\key.pem\"\r\n")) +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalBlackList]\r\n"
                "\"1\"=\"127.0.0.2/32\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
                "\"1\"=\"example.test\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\first]\r\n"
                "\"Server\"=\"bl.test\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n"
                "\"LastMsgId\"=dword:00000000\r\n\r\n");
  StartReceiver();

  // Whoever reads the file while it is rewritten finds it whole: it ends with its last
  // family.
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done) {
      std::string text;
      if (!(text = ReadFileText(MetricsPath())).empty()) {
        ++reads;
        size_t last = text.rfind("\nkestran_process_start_time_seconds ");
        if (last == std::string::npos || text.back() != '\n' ||
            text.find('\n', last + 1) != text.size() - 1)
          ++torn;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  // Three plain messages; the first session also asks to relay. Every session comes
  // from an address of its own: one connection per address is allowed.
  for (int i = 0; i < 3; ++i) {
    LineClient c("127.0.0.1" + std::to_string(i), port_);
    c.Line();
    c.Command("HELO plain.test");
    if (i == 0) {
      c.Command("MAIL FROM:<a@plain.test>");
      EXPECT_EQ(c.Command("RCPT TO:<x@elsewhere.test>"),
                "550 <x@elsewhere.test>... Relaying denied");
      c.Command("RSET");
    }
    EXPECT_EQ(SendMessage(c, "a@plain.test", {"bob@example.test"}, "Subject: m\r\n\r\nx\r\n"),
              "250 Message received OK");
    c.Command("QUIT");
  }
  // A black-listed and a block-listed client.
  for (const char* source : {"127.0.0.2", "127.0.0.4"}) {
    LineClient c(source, port_);
    c.Line();
    c.Command("HELO refused.test");
    c.Command("MAIL FROM:<a@refused.test>");
    EXPECT_EQ(c.Command("RCPT TO:<bob@example.test>").substr(0, 18), "554 access denied,");
    c.Command("QUIT");
  }
  // Two messages under TLS.
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(RunCommand("swaks --server 127.0.0.1 --port " + std::to_string(port_) +
                             " --local-interface 127.0.0.2" + std::to_string(i) +
                             " --tls --helo tls.test --from a@tls.test --to bob@example.test"
                             " --body 'under TLS' --silent 2 2>&1",
                         out),
              0)
        << out;
  // One connection too many from one address.
  {
    LineClient holder("127.0.0.6", port_);
    EXPECT_EQ(holder.Line().substr(0, 4), "220 ");
    LineClient extra("127.0.0.6", port_);
    EXPECT_EQ(extra.Line().substr(0, 4), "421 ");
  }
  // A rewrite at the next interval, then the last one at the stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  StopReceiver();
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";

  const std::string text = "\n" + ReadFileText(MetricsPath());
  // The fixture's probe of the port when the receiver started is a session too: one more
  // greeting, one more lookup.
  const std::vector<std::pair<std::string, double>> expected = {
      {"kestran_connections_accepted_total", 9},
      {"kestran_connections_open", 0},
      {"kestran_connections_refused_total{cause=\"connection_limit\"}", 1},
      {"kestran_connections_refused_total{cause=\"black_list\"}", 1},
      {"kestran_connections_refused_total{cause=\"dns_block_list\",list=\"bl.test\"}", 1},
      {"kestran_dnsbl_lookups_total{list=\"bl.test\",result=\"listed\"}", 1},
      {"kestran_dnsbl_lookups_total{list=\"bl.test\",result=\"not_listed\"}", 7},
      {"kestran_dnsbl_lookups_total{list=\"bl.test\",result=\"timeout\"}", 0},
      {"kestran_messages_queued_total", 5},
      {"kestran_recipients_accepted_total", 5},
      {"kestran_recipients_refused_total{reason=\"relaying_denied\"}", 1},
      {"kestran_recipients_refused_total{reason=\"access_denied\"}", 2},
      {"kestran_tls_handshakes_total{result=\"success\"}", 2},
      {"kestran_tls_handshakes_total{result=\"failure\"}", 0},
      {"kestran_tls_messages_total{version=\"TLSv1.3\"}", 2},
      {"kestran_smtp_replies_total{code=\"220\"}", 11},  // 9 greetings, 2 STARTTLS
      {"kestran_smtp_replies_total{code=\"221\"}", 7},
      {"kestran_smtp_replies_total{code=\"250\"}", 28},
      {"kestran_smtp_replies_total{code=\"354\"}", 5},
      {"kestran_smtp_replies_total{code=\"421\"}", 1},
      {"kestran_smtp_replies_total{code=\"550\"}", 1},
      {"kestran_smtp_replies_total{code=\"554\"}", 2},
      {"kestran_smtp_replies_total{code=\"451\"}", 0},
      {"kestran_queue_store_failures_total", 0},
      {"kestran_queue_pairs", 5},
      {"kestran_queue_refusing_mail", 0},
      {"kestran_build_info{version=\"0.45\"}", 1},
  };
  for (const auto& [sample, value] : expected) EXPECT_EQ(Value(text, sample), value) << sample;
  EXPECT_GE(Value(text, "kestran_queue_flushes_total"), 1);
  EXPECT_EQ(Value(text, "kestran_queue_flush_duration_seconds_count"),
            Value(text, "kestran_queue_flushes_total"));
  EXPECT_EQ(test::PromtoolObjections(MetricsPath()), "") << text;
  int temporaries = 0;
  for (auto& e : std::filesystem::directory_iterator(Native("metrics")))
    temporaries += e.path().extension() == ".tmp";
  EXPECT_EQ(temporaries, 0);
}

TEST_F(ReceiverMetrics, QueueAtItsPairLimitRefusesMailUntilAPairIsTaken) {
  MakeDir("metrics");
  WriteRegistry(RelayRegistry(MetricsValues("\"MaxQueuedMessages\"=dword:00000002\r\n")));
  StartReceiver();
  EXPECT_EQ(Transaction("Subject: 1\r\n\r\nx\r\n"), "250 Message received OK");
  // A transaction under way when the limit is reached is finished.
  LineClient open("127.0.0.1", port_);
  open.Line();
  open.Command("HELO open.test");
  EXPECT_EQ(open.Command("MAIL FROM:<a@open.test>"), "250 OK <a@open.test>");
  EXPECT_EQ(Transaction("Subject: 2\r\n\r\nx\r\n"), "250 Message received OK");
  NextSample();
  EXPECT_EQ(open.Command("RCPT TO:<bob@example.test>"), "250 OK <bob@example.test>");
  EXPECT_EQ(open.Command("DATA"), "354 Ready for data");
  open.Send("Subject: 3\r\n\r\nx\r\n.\r\n");
  EXPECT_EQ(open.Line(), "250 Message received OK");
  EXPECT_EQ(open.Command("MAIL FROM:<a@open.test>"), kRefusedForStorage);
  EXPECT_EQ(Mail("Subject: 4\r\n\r\nx\r\n"), kRefusedForStorage);
  EXPECT_EQ(QueueFiles(".RCP").size(), 3u);
  EXPECT_NE(Console().find("Mail is refused with 452 until the queue has room: 3 pairs wait "
                           "(limit 2)"),
            std::string::npos)
      << Console();

  RemoveAllPairs();
  NextSample();
  EXPECT_EQ(Mail("Subject: 5\r\n\r\nx\r\n"), "250 Message received OK");
  StopReceiver();
  const std::string text = "\n" + ReadFileText(MetricsPath());
  EXPECT_EQ(Value(text, "kestran_smtp_replies_total{code=\"452\"}"), 2);
  EXPECT_EQ(Value(text, "kestran_queue_storage_refusals_total"), 2);
  EXPECT_EQ(Value(text, "kestran_messages_queued_total"), 4);
  EXPECT_EQ(Value(text, "kestran_queue_pairs"), 1);
}

TEST_F(ReceiverMetrics, FillingFileSystemGets452BeforeAny451AndRecovers) {
  MakeDir("mail/prein");
  mounted_ = ::mount("tmpfs", Native("mail/prein").c_str(), "tmpfs", 0, "size=2m,mode=0755") == 0;
  if (!mounted_) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  WriteRegistry(
      RelayRegistry("\"MinFreeSpaceMB\"=dword:00000001\r\n"
                    "\"MaxMessageSize\"=dword:00030d40\r\n"));
  StartReceiver();
  std::string reply;
  int taken = 0;
  for (int i = 0; i < 60; ++i) {
    reply = Mail(BodyWithToken("fill-" + std::to_string(i), 60 * 1024));
    if (reply != "250 Message received OK") break;
    ++taken;
    // Slower than the file system fills between two looks at it.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_EQ(reply, kRefusedForStorage) << "after " << taken << " messages";
  EXPECT_GT(taken, 5);
  EXPECT_EQ(static_cast<int>(CheckedPairs().size()), taken);

  RemoveAllPairs();
  NextSample();
  EXPECT_EQ(Mail(BodyWithToken("room-again", 60 * 1024)), "250 Message received OK");
}

}  // namespace
}  // namespace kestran::test
