// DATA intake: the queue pair byte for byte, numbering that never overwrites a queued
// pair, limits on the body, and failures that leave nothing behind.

#include <sys/stat.h>

#include <regex>

#include "smtp/queue_writer.h"
#include "smtp_fixture.h"

namespace kestran::testing_smtp {
namespace {

class QueueIntake : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    server_->SetLocalDomains({"Local.EXAMPLE"});
    CaptureLog();
  }
  std::string Msg(const std::string& id) { return ReadFile(queue_ / (id + ".MSG")); }
  std::string Rcp(const std::string& id) { return ReadFile(queue_ / (id + ".RCP")); }
};

// Splits a file into its CR LF lines; fails the test on a bare line end.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "unterminated last line";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

const std::regex kDate(
    R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d( [+-]\d{4})?)");

TEST_F(QueueIntake, PairHoldsTraceHeadersBodyAsReceivedAndEnvelope) {
  Start();
  auto c = Connect();
  c->Cmd("HELO client.example");
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 OK <s@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<u@local.example>"), "250 OK <u@local.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:\"U\" <u@local.example>"), "250 OK \"U\" <u@local.example>");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  c->Send("Subject: hi\r\n\r\n..leading dot\r\n.x\r\nlast line \r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{"B0000000001.MSG", "B0000000001.RCP"}));

  auto m = Lines(Msg("B0000000001"));
  ASSERT_EQ(m.size(), 11u);
  EXPECT_EQ(m[0], "Received: from client.example (unverified [127.0.0.1]) by " + Host());
  EXPECT_EQ(m[1], " (KESTRAN 0.45) with SMTP id <B0000000001@" + Host() + ">;");
  ASSERT_EQ(m[2].substr(0, 1), " ");
  std::string date = m[2].substr(1);
  EXPECT_TRUE(std::regex_match(date, kDate)) << date;
  EXPECT_EQ(m[3], "Date: " + date);
  EXPECT_EQ(m[4], "Message-ID: <B0000000001@" + Host() + ">");
  EXPECT_EQ(
      std::vector<std::string>(m.begin() + 5, m.end()),
      (std::vector<std::string>{"Subject: hi", "", "..leading dot", ".x", "last line ", "."}));
  EXPECT_EQ(Rcp("B0000000001"), "Message-ID: <B0000000001@" + Host() +
                                    ">\r\nReturn-path: s@x.example\r\n"
                                    "Recipient: u@local.example\r\n"
                                    "Recipient: u@local.example\r\n");
  auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  std::regex entry("<B0000000001@" + Host() +
                   R"(> \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] 127\.0\.0\.1 client\.example )"
                   R"(s@x\.example u@local\.example u@local\.example)");
  EXPECT_TRUE(std::regex_match(log[0], entry)) << log[0];

  // The transaction is reset: a second DATA needs new recipients; HELO stays.
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  EXPECT_EQ(c->Cmd("HELO again"), "503 HELO Command is out of sequence");
}

TEST_F(QueueIntake, OwnHeadersOfTheMessageDecideWhatIsAdded) {
  std::atomic<int32_t> next{41};
  server_->OnNextIDEvent = [&](int32_t& id, bool& handled) {
    id = ++next;
    handled = true;
  };
  Start();
  auto c = Connect();  // no HELO: "from  ("
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example",
                        {"Received: from elsewhere", "message-id: <own@x>", "", "body"}),
            "250 Message received OK");
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example",
                        {"DATE: Mon, 7 Dec 2026 10:00:00 +0000", "Subject: s"}),
            "250 Message received OK");
  // A first line that is empty ends the header block at once.
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"", "Date: late", "Message-ID: x"}),
            "250 Message received OK");

  auto a = Lines(Msg("B0000000042"));
  ASSERT_EQ(a.size(), 8u);
  EXPECT_EQ(a[0], "Received: from  (unverified [127.0.0.1]) by " + Host());
  EXPECT_EQ(a[3], "Received: from elsewhere");
  EXPECT_EQ(a[4], "message-id: <own@x>");
  EXPECT_EQ(Rcp("B0000000042").substr(0, 28 + Host().size()),
            "Message-ID: <B0000000042@" + Host() + ">\r\n");

  auto b = Lines(Msg("B0000000043"));
  ASSERT_EQ(b.size(), 7u);
  EXPECT_EQ(b[3], "Message-ID: <B0000000043@" + Host() + ">");
  EXPECT_EQ(b[4], "DATE: Mon, 7 Dec 2026 10:00:00 +0000");

  auto d = Lines(Msg("B0000000044"));
  ASSERT_EQ(d.size(), 9u);
  EXPECT_EQ(d[3].substr(0, 6), "Date: ");
  EXPECT_EQ(d[4], "Message-ID: <B0000000044@" + Host() + ">");
  EXPECT_EQ(d[5], "");
  EXPECT_EQ(d[8], ".");
}

TEST_F(QueueIntake, BareLineFeedHeadersAndRecipientFormsOfRealClients) {
  Start();
  auto c = Connect();
  // Bare LF line ends: the message's own Date and Message-ID are seen, nothing is added
  // and the body is stored as sent.
  const std::string body =
      "From: s@x.example\nDate: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <lf@x>\n\nbody\n";
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {body}), "250 Message received OK");
  auto a = Lines(Msg("B0000000001"));
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[3], body);

  // A bare postmaster goes to the first local domain; a display name inside the
  // brackets is refused and never queued.
  EXPECT_EQ(c->Cmd("MAIL FROM:<s@x.example>"), "250 OK <s@x.example>");
  EXPECT_EQ(c->Cmd("RCPT TO:<PostMaster>"), "250 OK <postmaster@Local.EXAMPLE>");
  EXPECT_EQ(c->Cmd("RCPT TO:<\"Display Name\" <dn@local.example>>"),
            "501 Syntax Error in RCPT TO:<\"Display Name\" <dn@local.example>>");
  EXPECT_EQ(c->Cmd("RCPT TO:\"Display Name\" <dn@local.example>"),
            "250 OK \"Display Name\" <dn@local.example>");
  EXPECT_EQ(c->Cmd("DATA"), "354 Ready for data");
  c->Send("Subject: r\r\n\r\nx\r\n.\r\n");
  EXPECT_EQ(c->ReadLine(), "250 Message received OK");
  std::string rcp = Rcp("B0000000002");
  EXPECT_NE(rcp.find("\r\nRecipient: postmaster@Local.EXAMPLE\r\nRecipient: dn@local.example\r\n"),
            std::string::npos)
      << rcp;
  EXPECT_EQ(rcp.find("Display"), std::string::npos);
}

TEST_F(QueueIntake, QueuedPairsAreNeverOverwritten) {
  // No next-id handler: every message is offered number 1.
  WriteFile(queue_ / "B0000000001.MSG", "queued earlier");
  WriteFile(queue_ / "B0000000002.RCP", "orphan envelope");
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"one"}), "250 Message received OK");
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"two"}), "250 Message received OK");
  EXPECT_EQ(ReadFile(queue_ / "B0000000001.MSG"), "queued earlier");
  EXPECT_EQ(ReadFile(queue_ / "B0000000002.RCP"), "orphan envelope");
  EXPECT_FALSE(fs::exists(queue_ / "B0000000002.MSG"));
  EXPECT_NE(Msg("B0000000003").find("\r\none\r\n.\r\n"), std::string::npos);
  EXPECT_NE(Msg("B0000000004").find("\r\ntwo\r\n.\r\n"), std::string::npos);
  EXPECT_EQ(QueueFiles().size(), 6u);
}

TEST_F(QueueIntake, CounterThatCannotBeStoredStillNeverOverwrites) {
  server_->SetSyncQueueFiles(false);  // the same rules without flushing
  server_->OnNextIDEvent = [](int32_t& id, bool& handled) {
    id = 0;
    handled = true;
  };
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"a"}), "250 Message received OK");
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"b"}), "250 Message received OK");
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{"B0000000000.MSG", "B0000000000.RCP",
                                                    "B0000000001.MSG", "B0000000001.RCP"}));
}

TEST_F(QueueIntake, AHundredRedrawsThen451AndTheSessionGoesOn) {
  // The first name and 99 redraws taken: the hundredth redraw is stored.
  for (int i = 1; i <= 100; ++i) WriteFile(queue_ / (FormatMsgId(i) + ".MSG"), "x");
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"kept"}), "250 Message received OK");
  EXPECT_TRUE(fs::exists(queue_ / "B0000000101.RCP"));
  // The first name and all 100 redraws taken: refused, nothing written or logged.
  for (int i = 102; i <= 202; ++i) WriteFile(queue_ / (FormatMsgId(i) + ".MSG"), "x");
  const size_t logged = Log().size();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"lost"}),
            "451 ERR Requested Action Aborted");
  EXPECT_EQ(QueueFiles().size(), 203u);
  EXPECT_EQ(Log().size(), logged);
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
}

TEST_F(QueueIntake, ATakenLastNameIsSteppedPastToOne) {
  // A number source at the end of the range whose next number is 1 again, while the last
  // name is still taken.
  WriteFile(queue_ / "B2147483647.MSG", "queued earlier");
  int32_t next = INT32_MAX;
  server_->OnNextIDEvent = [&next](int32_t& id, bool& handled) {
    id = next;
    next = next == INT32_MAX ? 1 : next + 1;
    handled = true;
  };
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"one"}), "250 Message received OK");
  EXPECT_EQ(QueueFiles(),
            (std::vector<std::string>{"B0000000001.MSG", "B0000000001.RCP", "B2147483647.MSG"}));
}

TEST_F(QueueIntake, UnwritableQueueGives451WithoutAPartialPair) {
  // A queue "directory" that is a file fails for everybody, root included.
  WriteFile(queue_ / "plain", "not a directory");
  server_->SetMailWriteDir("C:\\queue\\plain");
  std::vector<std::pair<std::string, uint32_t>> faults;
  server_->OnQueueWriteFailed = [&faults](const std::string& file, uint32_t error) {
    faults.emplace_back(file, error);
  };
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"a"}),
            "451 ERR Requested Action Aborted");
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{"plain"}));
  // The failure names the file and the error (3: the path does not lead to a directory).
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0], std::make_pair(std::string("C:\\queue\\plain\\B0000000001.MSG"), 3u));

  server_->SetActive(false);
  server_->SetMailWriteDir("C:\\queue");
  Start();
  auto d = Connect();

  // A read-only directory (only meaningful when permissions apply to this user).
  fs::permissions(queue_, fs::perms::owner_read | fs::perms::owner_exec);
  bool enforced = !std::ofstream(queue_ / "probe").is_open();
  if (enforced) {
    EXPECT_EQ(SendMessage(*d, "s@x.example", "u@local.example", {"a"}),
              "451 ERR Requested Action Aborted");
  }
  fs::permissions(queue_, fs::perms::owner_all);
  fs::remove(queue_ / "probe");
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{"plain"}));
  EXPECT_EQ(SendMessage(*d, "s@x.example", "u@local.example", {"a"}), "250 Message received OK");
}

TEST_F(QueueIntake, LinksPlantedUnderQueueNamesAreNeverFollowed) {
  WriteFile(root_ / "target", "owned by the test\n");
  auto plant = [&](const std::string& name) {
    fs::create_symlink(root_ / "target", queue_ / name);
  };
  // Under the names of a pair: the name counts as taken and the next number is drawn.
  plant("B0000000001.MSG");
  plant("B0000000002.RCP");
  fs::create_symlink(root_ / "nowhere", queue_ / "B0000000003.RCP");
  // Under the temporary name of earlier versions: never touched.
  plant("B0000000004.RC~");
  plant("Smtp.Txt");
  server_->SetLogDebug(true);
  std::atomic<int32_t> next{0};
  server_->OnNextIDEvent = [&](int32_t& id, bool& handled) {
    id = ++next;
    handled = true;
  };
  const mode_t oldMask = ::umask(022);
  Start();
  auto c = Connect();
  // 1 to 3 are taken.
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"kept"}), "250 Message received OK");
  EXPECT_EQ(c->Cmd("NOOP"), "250 NOOP Performed");
  ::umask(oldMask);

  EXPECT_EQ(ReadFile(root_ / "target"), "owned by the test\n");
  EXPECT_FALSE(fs::exists(root_ / "nowhere"));
  EXPECT_NE(Msg("B0000000004").find("\r\nkept\r\n"), std::string::npos);
  EXPECT_EQ(QueueFiles(),
            (std::vector<std::string>{"B0000000001.MSG", "B0000000002.RCP", "B0000000003.RCP",
                                      "B0000000004.MSG", "B0000000004.RCP", "B0000000004.RC~",
                                      "Smtp.Txt"}));
  EXPECT_TRUE(fs::is_symlink(queue_ / "B0000000004.RC~"));
  EXPECT_TRUE(fs::is_symlink(queue_ / "Smtp.Txt"));
  // Message and recipient files are for the owner and the group only.
  for (const char* name : {"B0000000004.MSG", "B0000000004.RCP"})
    EXPECT_EQ(fs::status(queue_ / name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << name;
}

TEST_F(QueueIntake, OversizedBodiesAreReadToTheEndAndRefused) {
  std::atomic<int32_t> next{0};
  server_->OnNextIDEvent = [&](int32_t& id, bool& handled) {
    id = ++next;
    handled = true;
  };
  server_->SetMaxMessageSize(1000);
  server_->SetMaxLineLength(200);
  Start();
  auto c = Connect();
  std::vector<std::string> big(30, std::string(48, 'x'));  // 30 * 50 bytes
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", big),
            "552 Message exceeds the size limit");
  EXPECT_EQ(
      SendMessage(*c, "s@x.example", "u@local.example", {"short", std::string(500, 'y'), "z"}),
      "500 Line too long");
  // Nothing numbered, nothing written, and the transaction was reset.
  EXPECT_TRUE(QueueFiles().empty());
  EXPECT_EQ(next.load(), 0);
  EXPECT_EQ(c->Cmd("DATA"), "503 No valid recipients specified");
  // Exactly at the limit is accepted: 20 lines of 48 + CR LF = 1000 bytes.
  std::vector<std::string> fits(20, std::string(48, 'f'));
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", fits), "250 Message received OK");
  EXPECT_EQ(QueueFiles(), (std::vector<std::string>{"B0000000001.MSG", "B0000000001.RCP"}));
}

TEST_F(QueueIntake, FailingNumberSourceEndsTheSessionWithoutReplyOrFile) {
  server_->OnNextIDEvent = [](int32_t&, bool&) { throw Exception("counter unavailable"); };
  Start();
  auto c = Connect();
  EXPECT_EQ(SendMessage(*c, "s@x.example", "u@local.example", {"a"}), "<closed>");
  EXPECT_TRUE(QueueFiles().empty());
  // The server itself keeps serving.
  auto d = Connect();
  EXPECT_EQ(d->Cmd("NOOP"), "250 NOOP Performed");
}

TEST(QueueNames, IdsAreTenDigitsAndTheTemporaryNameCarriesTheDigest) {
  EXPECT_EQ(FormatMsgId(42), "B0000000042");
  EXPECT_EQ(FormatMsgId(2147483647), "B2147483647");
  TQueueWriter w("C:\\q", false);
  EXPECT_EQ(w.MessagePath("B1"), "C:\\q\\B1.MSG");
  EXPECT_EQ(w.RecipientPath("B1"), "C:\\q\\B1.RCP");
  EXPECT_EQ(w.TemporaryPath("B0000000001", 0xabc), "C:\\q\\B0000000001.0000000000000abc.RC~");
  EXPECT_EQ(TQueueWriter("", false).MessagePath("B1"), "B1.MSG");

  std::string stem;
  uint64_t digest = 0;
  EXPECT_TRUE(ParseTemporaryName("B2147483647.fedcba9876543210.RC~", stem, digest));
  EXPECT_EQ(stem, "B2147483647");
  EXPECT_EQ(digest, 0xfedcba9876543210ull);
  for (const char* other : {"B0000000001.RC~", "B0000000001.FEDCBA9876543210.RC~",
                            "B000000001x.fedcba9876543210.RC~", "B0000000001.fedcba987654321.RC~",
                            "B0000000001.fedcba9876543210.RCP", "C0000000001.fedcba9876543210.RC~"})
    EXPECT_FALSE(ParseTemporaryName(other, stem, digest)) << other;

  // The digest covers both files and where one ends.
  EXPECT_NE(QueuePairDigest("ab", "c"), QueuePairDigest("a", "bc"));
  EXPECT_NE(QueuePairDigest("ab", "c"), QueuePairDigest("ab", "c\r\n"));
  EXPECT_EQ(QueuePairDigest("ab", "c"), QueuePairDigest("ab", "c"));
}

// What is under the temporary name of a pair being written: a plain file was left by a
// write cut short and is replaced; anything else fails the write, untouched, and takes
// the message file with it.
TEST_F(QueueIntake, TheTemporaryNameIsReplacedOnlyWhenItIsAPlainFile) {
  const std::string msg = "Received: x\r\n\r\nbody\r\n";
  const std::string rcp = "Message-ID: <B0000000007@h>\r\nRecipient: u@local.example\r\n";
  for (bool sync : {false, true}) {
    TQueueWriter w("C:\\queue", sync);
    const std::string full = w.TemporaryPath("B0000000007", QueuePairDigest(msg, rcp));
    const fs::path tmp = queue_ / full.substr(full.rfind('\\') + 1);
    fs::create_directory(tmp);
    EXPECT_EQ(w.WritePair("B0000000007", msg, rcp), TQueueWriter::Outcome::Failed);
    EXPECT_EQ(QueueFiles(), std::vector<std::string>{tmp.filename()});
    fs::remove(tmp);
    WriteFile(root_ / "target", "owned by the test\n");
    fs::create_symlink(root_ / "target", tmp);
    EXPECT_EQ(w.WritePair("B0000000007", msg, rcp), TQueueWriter::Outcome::Failed);
    EXPECT_EQ(ReadFile(root_ / "target"), "owned by the test\n");
    fs::remove(tmp);
    WriteFile(tmp, "left over");
    EXPECT_EQ(w.WritePair("B0000000007", msg, rcp), TQueueWriter::Outcome::Written);
    EXPECT_EQ(QueueFiles(), (std::vector<std::string>{"B0000000007.MSG", "B0000000007.RCP"}));
    EXPECT_EQ(ReadFile(queue_ / "B0000000007.RCP"), rcp);
    EXPECT_EQ(Msg("B0000000007"), msg);
    fs::remove(queue_ / "B0000000007.MSG");
    fs::remove(queue_ / "B0000000007.RCP");
  }
}

}  // namespace
}  // namespace kestran::testing_smtp
