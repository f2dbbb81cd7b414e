#include "deliver_fixture.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "support/child_process.h"
#include "support/tcp_client.h"
#include "support/test_cert.h"

namespace kestran::test {

bool ProgramExists(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/kestran-deliver-XXXXXX";
  if (::mkdtemp(tmpl) != nullptr) path_ = std::string(tmpl) + "/";
  ::chmod(tmpl, 0755);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string QueueMessage(const std::string& body) {
  return "Received: from client.test (client.test [127.0.0.1]) by mx.test\r\n"
         " (KESTRAN 0.45) with SMTP id <B0000000001@mx.test>;\r\n"
         " Tue, 08 Dec 2026 02:00:00 +0000\r\n" +
         body + ".\r\n";
}

std::string QueueRecipients(const std::string& returnPath, const std::vector<std::string>& to) {
  std::string r = "Message-ID: <B0000000001@mx.test>\r\nReturn-path: " + returnPath + "\r\n";
  for (const auto& a : to) r += "Recipient: " + a + "\r\n";
  return r;
}

void WritePairFiles(const std::string& dir, const std::string& stem, const std::string& msg,
                    const std::string& rcp) {
  ASSERT_TRUE(WriteFileText(dir + stem + ".MSG", msg));
  ASSERT_TRUE(WriteFileText(dir + stem + ".RCP", rcp));
}

SendOutcome SendThrough(TTransport& t, const std::vector<std::string>& to,
                        const std::string& queued, const std::string& sender, bool eightBit) {
  SendOutcome o;
  o.replies.resize(to.size());
  TMessageToSend m;
  m.sender = sender;
  m.recipients = to;
  m.size = queued.size();
  m.eightBit = eightBit;
  size_t off = 0;
  m.read = [&](char* p, size_t n) -> long {
    n = std::min(n, queued.size() - off);
    std::copy(queued.data() + off, queued.data() + off + n, p);
    off += n;
    return static_cast<long>(n);
  };
  m.onReply = [&](size_t i, const TReply& r) {
    o.replies[i] = r;
    o.order.push_back(i);
  };
  t.Send(m);
  return o;
}

TDeliverContext TestContext(const std::string& queueDir, const std::string& deliverTo,
                            LogCollector& log, double* clock) {
  TDeliverContext ctx;
  ctx.queueDir = queueDir;
  auto hop = ParseNextHop(deliverTo);
  EXPECT_TRUE(hop.has_value()) << deliverTo;
  if (hop) ctx.transport = *hop;
  ctx.hostName = "mx.test";
  ctx.options.heloName = "mx.test";
  ctx.options.timeoutMs = 3000;
  ctx.event = [&log](int, const std::string& t) {
    std::lock_guard<std::mutex> g(log.m);
    log.events.push_back(t);
  };
  ctx.mailLog = [&log](const std::string& t) {
    std::lock_guard<std::mutex> g(log.m);
    log.mail.push_back(t);
  };
  if (clock != nullptr)
    ctx.now = [clock] { return *clock; };
  else
    ctx.now = [] {
      return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
  return ctx;
}

bool DovecotInstance::Start(const std::string& dir, const std::string& users) {
  dir_ = dir;
  port_ = FreeTcpPort();
  std::filesystem::create_directories(dir + "run");
  std::filesystem::create_directories(dir + "state");
  std::filesystem::create_directories(dir + "mail");
  // Mail is stored under an account of its own: never root.
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  std::string internal;
  if (passwd* pw = ::getpwuid(uid)) internal = pw->pw_name;
  if (uid == 0) {
    passwd* pw = ::getpwnam("dovecot");
    if (pw == nullptr) return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    internal = "root";
    if (::chown((dir + "mail").c_str(), uid, gid) != 0) return false;
  }
  const std::string conf =
      "base_dir = " + dir +
      "run\n"
      "state_dir = " +
      dir +
      "state\n"
      "log_path = " +
      dir +
      "dovecot.log\n"
      "protocols = lmtp\n"
      "ssl = no\n"
      "listen = 127.0.0.1\n"
      "default_internal_user = " +
      internal +
      "\n"
      "default_internal_group = " +
      (::getuid() == 0 ? std::string("root") : internal) +
      "\n"
      "default_login_user = " +
      internal +
      "\n"
      "first_valid_uid = 1\n"
      "mail_location = maildir:" +
      dir +
      "mail/%n/Maildir\n"
      "passdb {\n  driver = static\n  args = nopassword\n}\n" +
      (users.empty() ? "userdb {\n  driver = static\n  args = uid=" + std::to_string(uid) +
                           " gid=" + std::to_string(gid) + " home=" + dir + "mail/%n\n}\n"
                     : "userdb {\n  driver = passwd-file\n  args = username_format=%n " + dir +
                           "users\n  default_fields = uid=" + std::to_string(uid) +
                           " gid=" + std::to_string(gid) + " home=" + dir +
                           "mail/%n\n}\n"
                           "mail_plugins = $mail_plugins quota\n"
                           "plugin {\n  quota = count:User quota\n"
                           "  quota_vsizes = yes\n  quota_rule = *:storage=1G\n}\n"
                           "protocol lmtp {\n  lmtp_rcpt_check_quota = yes\n}\n") +
      "service lmtp {\n  unix_listener lmtp {\n    mode = 0666\n  }\n"
      "  inet_listener lmtp {\n    address = 127.0.0.1\n    port = " +
      std::to_string(port_) + "\n  }\n}\n";
  if (!WriteFileText(dir + "dovecot.conf", conf)) return false;
  if (!users.empty() && !WriteFileText(dir + "users", users)) return false;
  std::string out;
  // The daemon keeps no descriptor of the test's.
  if (RunCommand(
          "/usr/sbin/dovecot -c " + dir + "dovecot.conf </dev/null >" + dir + "start.log 2>&1",
          out) != 0) {
    ADD_FAILURE() << "dovecot: " << ReadFileText(dir + "start.log") << log();
    return false;
  }
  started_ = true;
  for (int i = 0; i < 100; ++i) {
    if (WaitForPort(port_, 100) && ::access(socket().c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

DovecotInstance::~DovecotInstance() {
  if (!started_) return;
  std::string out;
  RunCommand("/usr/sbin/dovecot -c " + dir_ + "dovecot.conf stop </dev/null >/dev/null 2>&1", out);
  // The master is gone once its pid file is.
  for (int i = 0; i < 100 && ::access((dir_ + "run/master.pid").c_str(), F_OK) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

std::vector<std::string> DovecotInstance::Mailbox(const std::string& user) const {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(dir_ + "mail/" + user + "/Maildir/new", ec))
    files.push_back(e.path().string());
  // Maildir names begin "seconds.M<microseconds>P<pid>": in order of delivery by those
  // two numbers, which a plain sort of the text gets wrong when their lengths differ.
  auto key = [](const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    unsigned long long sec = 0, usec = 0;
    std::sscanf(name.c_str(), "%llu.M%llu", &sec, &usec);
    return std::make_pair(sec, usec);
  };
  std::sort(files.begin(), files.end(),
            [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
  return files;
}

std::string DovecotInstance::log() const {
  return ReadFileText(dir_ + "dovecot.log");
}

std::string BelowTrace(const std::string& stored) {
  // The receiver's trace header ends with its folded date line; what follows is the
  // message as the client sent it.
  const std::string mark = "(KESTRAN 0.45) with SMTP id";
  auto p = stored.find(mark);
  if (p == std::string::npos) return {};
  p = stored.find('\n', p);      // end of the id line
  p = stored.find('\n', p + 1);  // end of the date line
  return p == std::string::npos ? std::string() : stored.substr(p + 1);
}

}  // namespace kestran::test
