// test-labels: threads
// The acceptance policy of the running receiver, configured through the registry: local
// users from every source, black and white lists, a DNS block list, POP-before-SMTP.

#include <grp.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "receiver_fixture.h"
#include "support/dns_server.h"

namespace kestran::test {
namespace {

std::string Today(const char* format, std::time_t t) {
  std::tm tm;
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

// A system group with one member, removed again when the test ends.
class TempGroup {
 public:
  TempGroup() : group_("ktg" + std::to_string(getpid())), user_("ktu" + std::to_string(getpid())) {
    if (geteuid() != 0) return;
    ok_ = std::system(("groupadd " + group_ + " >/dev/null 2>&1").c_str()) == 0 &&
          std::system(
              ("useradd -M -N -s /usr/sbin/nologin -G " + group_ + " " + user_ + " >/dev/null 2>&1")
                  .c_str()) == 0;
  }
  ~TempGroup() {
    if (geteuid() != 0) return;
    std::system(("userdel " + user_ + " >/dev/null 2>&1").c_str());
    std::system(("groupdel " + group_ + " >/dev/null 2>&1").c_str());
  }
  bool ok() const { return ok_; }
  const std::string& group() const { return group_; }
  const std::string& user() const { return user_; }

 private:
  std::string group_, user_;
  bool ok_ = false;
};

TEST_F(ReceiverTest, LocalUsersComeFromAliasesListsPluginFileAndGroup) {
  TempGroup group;
  std::string groupValues;
  if (group.ok()) {
    groupValues = "\"UseNTUserDatabase\"=dword:00000001\r\n\"NTGroupNameNotice\"=\" " +
                  group.group() + " \"\r\n";
  }
  WriteFileText(Native("plugin.txt"),
                "; a comment line\r\ncarol@x.test, \"dave\"@y.test\r\n  NOBODY@free.test\r\n");
  std::string reg = BaseRegistry(
      "\"DoLocalUser\"=dword:00000001\r\n"
      "\"UsePlugin1List\"=dword:00000001\r\n"
      "\"Plugin1ConfigFile\"=\"C:\\\\plugin.txt\"\r\n");
  // Later values of the same name win: the group settings replace the base ones.
  reg.insert(reg.rfind("\r\n\r\n") + 2, groupValues);
  reg +=
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
      "\"1\"=\"example.test\"\r\n\"2\"=\"free.test\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\one]\r\n"
      "\"Alias\"=\" alice \"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Aliases\\two]\r\n"
      "\"Other\"=\"nobody-here\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS\\Lists\\staff]\r\n\r\n";
  WriteRegistry(reg);
  StartReceiver();
  LineClient c("127.0.0.1", port_);
  c.Line();
  c.Command("HELO me");
  c.Command("MAIL FROM:<a@b.test>");
  for (const char* ok : {"alice", "ALICE", "staff", "staff-request", "carol", "dave"}) {
    std::string to = std::string(ok) + "@example.test";
    EXPECT_EQ(c.Command("RCPT TO:<" + to + ">"), "250 OK <" + to + ">");
  }
  EXPECT_EQ(c.Command("RCPT TO:<erin@example.test>"), "550 <erin@example.test>... user not valid");
  EXPECT_EQ(c.Command("RCPT TO:<nobody-here@example.test>"),
            "550 <nobody-here@example.test>... user not valid");
  EXPECT_EQ(c.Command("RCPT TO:<anyone@free.test>"), "250 OK <anyone@free.test>");
  if (group.ok()) {
    std::string to = group.user() + "@example.test";
    EXPECT_EQ(c.Command("RCPT TO:<" + to + ">"), "250 OK <" + to + ">");
  }

  // The plug-in list is read again when it changes, while the service runs.
  WriteFileText(Native("plugin.txt"), "erin@example.test\r\n");
  auto rcpt = [&](const std::string& to) {
    LineClient d("127.0.0.1", port_);
    d.Line();
    return d.Command("RCPT TO:<" + to + ">");
  };
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (rcpt("erin@example.test") != "250 OK <erin@example.test>" &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rcpt("erin@example.test"), "250 OK <erin@example.test>");
  EXPECT_EQ(rcpt("carol@example.test"), "550 <carol@example.test>... user not valid");
  EXPECT_EQ(rcpt("anyone@free.test"), "550 <anyone@free.test>... user not valid");
  EXPECT_EQ(rcpt("alice@example.test"), "250 OK <alice@example.test>");  // aliases stay
  // A file that cannot be read keeps the last good list, with one line.
  std::filesystem::remove(Native("plugin.txt"));
  std::filesystem::create_directories(Native("plugin.txt"));
  const auto seen = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Console().find("cannot be read") == std::string::npos &&
         std::chrono::steady_clock::now() < seen)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_NE(Console().find("The plug-in list file 'C:\\plugin.txt' cannot be read; the last list "
                           "read stays in use"),
            std::string::npos)
      << Console();
  EXPECT_EQ(rcpt("erin@example.test"), "250 OK <erin@example.test>");
}

TEST_F(ReceiverTest, BlackListWhiteListAndDnsBlockListRefuseOrAdmitWholeConnections) {
  if (!DnsServer::Available()) GTEST_SKIP() << "dnsmasq is not installed";
  DnsServer dns;
  dns.AddARecord("4.0.0.127.bl.test", "127.0.0.2");
  dns.AddARecord("5.0.0.127.bl.test", "127.255.255.254");  // the list's error answer
  ASSERT_TRUE(dns.Start()) << dns.error();
  WriteRegistry(BaseRegistry("\"DoDNSLists\"=dword:00000001\r\n"
                             "\"MailInlogEnabled\"=dword:00000001\r\n"
                             "\"BlackListRejectionNotice\"=\"blocked here\"\r\n"
                             "\"DNSTimeout\"=dword:000007d0\r\n"
                             "\"DNSServers\"=\"" +
                             dns.server() + "\"\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalBlackList]\r\n"
                "\"1\"=\"127.0.0.2/32\"\r\n\"2\"=\"127.0.0.3/32\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\WhiteList]\r\n"
                "\"1\"=\"127.0.0.3/32\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
                "\"1\"=\"example.test\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\first]\r\n"
                "\"Server\"=\"bl.test\"\r\n\"DenyText\"=\"listed at bl.test: %s\"\r\n\r\n");
  MakeDir("mail/inlog");
  StartReceiver();

  auto rcpt = [&](const std::string& source, const std::string& helo) {
    LineClient c(source, port_);
    c.Line();
    std::string heloReply = c.Command("HELO " + helo);
    c.Command("MAIL FROM:<a@b.test>");
    std::string reply = c.Command("RCPT TO:<u@example.test>");
    std::string data = c.Command("DATA");
    if (data.rfind("354", 0) == 0) {
      c.Send("\r\nx\r\n.\r\n");
      c.Line();
    }
    return heloReply + "|" + reply + "|" + data;
  };
  EXPECT_EQ(rcpt("127.0.0.2", "black"),
            "250 OK black (unverified [127.0.0.2]), access restricted|"
            "554 access denied, blocked here|554 access denied, blocked here");
  EXPECT_EQ(rcpt("127.0.0.3", "white"),
            "250 OK white (unverified [127.0.0.3])|250 OK <u@example.test>|354 Ready for data");
  EXPECT_EQ(rcpt("127.0.0.4", "listed"),
            "250 OK listed (unverified [127.0.0.4]), access restricted|"
            "554 access denied, listed at bl.test: 127.0.0.4|"
            "554 access denied, listed at bl.test: 127.0.0.4");
  EXPECT_EQ(
      rcpt("127.0.0.5", "error-answer"),
      "250 OK error-answer (unverified [127.0.0.5])|250 OK <u@example.test>|354 Ready for data");

  std::string log = ReadFileText(Native("mail/inlog/" + Today("1%y%m%d.LOG", std::time(nullptr))));
  EXPECT_NE(log.find("] 127.0.0.2 554 access denied, blocked here\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] 127.0.0.4 554 access denied, listed at bl.test: 127.0.0.4\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("127.0.0.3 554"), std::string::npos) << log;
  EXPECT_EQ(log.find("127.0.0.5 554"), std::string::npos) << log;
}

TEST_F(ReceiverTest, PopBeforeSmtpLetsRecentPop3UsersRelay) {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  int secondsOfDay = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  if (secondsOfDay < 40 * 60 || secondsOfDay > 24 * 3600 - 120)
    GTEST_SKIP() << "too close to midnight for a day's POP3 log";
  std::string stampNow = Today("[%d/%b/%Y:%H:%M:%S]", now);
  std::string stampOld = Today("[%d/%b/%Y:%H:%M:%S]", now - 31 * 60);
  MakeDir("mail/pop3log");
  WriteFileText(Native("mail/pop3log/" + Today("1%y%m%d.LOG", now)),
                "127.0.0.6 " + stampNow + " USER u PASS **** OK\r\n" + "127.0.0.7 " + stampOld +
                    " USER u PASS **** OK\r\n" + "127.0.0.8 " + stampNow +
                    " USER u PASS **** OK -ERR locked\r\n" +
                    "127.0.0.9 [] USER u PASS **** OK\r\n" + "127.0.0.9 " + stampNow +
                    " USER u PASS **** OK\r\n" + "127.0.0.19 " + stampNow +
                    " USER u PASS **** OK\r\n");
  WriteRegistry(
      BaseRegistry("\"DoPopAuth\"=dword:00000001\r\n\"DelayMinutes\"=dword:0000001e\r\n"));
  StartReceiver();
  auto relay = [&](const std::string& source) {
    LineClient c(source, port_);
    c.Line();
    c.Command("HELO pop");
    c.Command("MAIL FROM:<a@b.test>");
    return c.Command("RCPT TO:<far@remote.test>");
  };
  const std::string ok = "250 OK <far@remote.test>";
  const std::string denied = "550 <far@remote.test>... Relaying denied";
  EXPECT_EQ(relay("127.0.0.6"), ok);
  EXPECT_EQ(relay("127.0.0.7"), denied) << "a login 31 minutes ago is too old";
  EXPECT_EQ(relay("127.0.0.8"), denied) << "-ERR lines never count";
  EXPECT_EQ(relay("127.0.0.9"), denied) << "a malformed stamp ends the scan";
  EXPECT_EQ(relay("127.0.0.1"), ok) << "addresses match as text within the line";
  EXPECT_EQ(relay("127.0.0.2"), denied);
}

// A sendmail: next hop cannot be asked about recipients: a warning at start, and RCPT is
// answered by the policy alone.
TEST_F(ReceiverTest, AHopThatCannotBeAskedIsAWarningAtStart) {
  WriteRegistry(BaseRegistry("\"VerifyRecipients\"=dword:00000001\r\n"
                             "\"DeliverTo\"=\"sendmail:/usr/sbin/sendmail\"\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
                "\"1\"=\"example.test\"\r\n\r\n");
  StartReceiver();
  LineClient c("127.0.0.1", port_);
  c.Line();
  EXPECT_EQ(c.Command("RCPT TO:<anyone@example.test>"), "250 OK <anyone@example.test>");
  EXPECT_NE(Console().find("'VerifyRecipients' is set, but a sendmail: transport in 'DeliverTo' "
                           "cannot be asked: recipients are not verified"),
            std::string::npos)
      << Console();
}

}  // namespace
}  // namespace kestran::test
