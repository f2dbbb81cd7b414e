// test-labels: threads
// The receiver under the service manager: started with NOTIFY_SOCKET set and no switch,
// it reports its states as notification datagrams and takes controls as signals.

#include <netinet/in.h>
#include <poll.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <sstream>

#include <chrono>
#include <memory>
#include <thread>

#include "receiver_fixture.h"
#include "support/dns_server.h"

namespace kestran::test {
namespace {

// The service manager's end of the notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool bound() const { return bound_; }
  // "state/checkpoint" of the next report, with READY=1 or STOPPING=1 appended when
  // present; "" when none comes in time.
  std::string Next(int timeoutMs = 15000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return "";
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return "";
    std::istringstream in(std::string(buf, static_cast<size_t>(n)));
    std::string line, state, checkpoint, extra;
    while (std::getline(in, line)) {
      if (line.rfind("X_KESTRAN_STATE=", 0) == 0) state = line.substr(16);
      if (line.rfind("X_KESTRAN_CHECKPOINT=", 0) == 0) checkpoint = line.substr(21);
      if (line == "READY=1" || line == "STOPPING=1") extra = " " + line;
    }
    return state + "/" + checkpoint + extra;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST_F(ReceiverTest, RunsUnderTheServiceManagerUntilStopped) {
  WriteRegistry(BaseRegistry("\"DoLocalNets\"=dword:00000001\r\n\"LastMsgId\"=dword:00000000\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets]\r\n"
                "\"1\"=\"127.0.0.0/8\"\r\n\r\n");
  NotifySocket notify(root_ + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  ASSERT_TRUE(proc_.Start(program_, {},
                          {{"KESTRAN_ROOT", root_}, {"NOTIFY_SOCKET", root_ + "/notify.sock"}},
                          root_ + "/console.txt"));
  EXPECT_EQ(notify.Next(), "2/1");
  EXPECT_EQ(notify.Next(), "4/0 READY=1");
  ASSERT_TRUE(WaitForPort(port_, 10000));
  {
    LineClient c("127.0.0.1", port_);
    c.Line();
    c.Command("HELO svc");
    EXPECT_EQ(SendMessage(c, "a@b.test", {"x@far.test"}, "\r\nhello\r\n"),
              "250 Message received OK");
  }
  EXPECT_EQ(QueueFiles(".RCP"), std::vector<std::string>{"B0000000001.RCP"});

  proc_.Signal(SIGHUP);  // interrogate
  EXPECT_EQ(notify.Next(), "4/0 READY=1");
  proc_.Signal(SIGTERM);  // stop
  EXPECT_EQ(notify.Next(), "3/1 STOPPING=1");
  EXPECT_EQ(notify.Next(), "1/0");
  ASSERT_TRUE(proc_.Wait(15000));
  EXPECT_EQ(proc_.exitStatus(), 0) << Console();
  EXPECT_EQ(Console(), "") << "a service writes nothing to its console";
}

TEST_F(ReceiverTest, WithoutTheServiceManagerTheDispatcherFails) {
  WriteRegistry(BaseRegistry());
  ASSERT_TRUE(proc_.Start(program_, {"-HELP"}, {{"KESTRAN_ROOT", root_}, {"NOTIFY_SOCKET", ""}},
                          root_ + "/console.txt"));
  ASSERT_TRUE(proc_.Wait(30000));
  EXPECT_EQ(proc_.exitStatus(), 1);
  // The error line, then the switches, -CHECK among them.
  const std::string console = Console();
  EXPECT_EQ(console.rfind("Exception: StartServiceCtrlDispatcher failed.\r\nUsage: kestran", 0), 0u)
      << console;
  EXPECT_NE(console.find("\r\n  -CHECK "), std::string::npos) << console;
}

// The receiver's end of the event log: syslog datagrams on a socket of the test's own.
class SyslogSink {
 public:
  explicit SyslogSink(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~SyslogSink() { ::close(fd_); }
  bool bound() const { return bound_; }
  // Every entry that arrives within timeoutMs of the one before, joined by newlines.
  std::string Drain(int timeoutMs = 2000) {
    std::string all;
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0) {
      char buf[8192];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n)).append("\n");
      timeoutMs = 300;
    }
    return all;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// SIGHUP reads the registry again: new sessions go by the new lists, a session under way
// keeps what it started with, a setting that needs a start is named and left alone.
TEST_F(ReceiverTest, ReloadAppliesToNewSessionsAndNamesWhatNeedsAStart) {
  auto registry = [&](const std::string& domain, const std::string& extra) {
    return BaseRegistry("\"LastMsgId\"=dword:00000000\r\n" + extra) +
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n"
           "\"1\"=\"" +
           domain + "\"\r\n\r\n";
  };
  WriteRegistry(registry("old.test", "\"DoLocalNet\"=dword:00000001\r\n"));
  NotifySocket notify(root_ + "/notify.sock");
  SyslogSink syslog(root_ + "/syslog.sock");
  ASSERT_TRUE(notify.bound());
  ASSERT_TRUE(syslog.bound());
  ASSERT_TRUE(proc_.Start(program_, {},
                          {{"KESTRAN_ROOT", root_},
                           {"NOTIFY_SOCKET", root_ + "/notify.sock"},
                           {"KESTRAN_SYSLOG_SOCKET", root_ + "/syslog.sock"}},
                          root_ + "/console.txt"));
  EXPECT_EQ(notify.Next(), "2/1");
  EXPECT_EQ(notify.Next(), "4/0 READY=1");
  ASSERT_TRUE(WaitForPort(port_, 10000));
  EXPECT_NE(syslog.Drain().find("unknown setting 'DoLocalNet'; did you mean 'DoLocalNets'?"),
            std::string::npos);

  LineClient before("127.0.0.1", port_);
  EXPECT_EQ(before.Line().substr(0, 4), "220 ");
  EXPECT_EQ(before.Command("HELO before").substr(0, 4), "250 ");

  WriteRegistry(registry("new.test",
                         "\"MaxRecipients\"=dword:00000064\r\n"
                         "\"IPv6PrefixLength\"=dword:00000000\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n\"Port\"=dword:" +
                Hex(port_ + 1) + "\r\n\r\n");
  proc_.Signal(SIGHUP);
  // The reload, then the report an interrogation gives.
  EXPECT_EQ(notify.Next(), "4/0 READY=1");
  const std::string events = syslog.Drain();
  EXPECT_NE(events.find("The settings were read again and apply to new sessions"),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("These settings take effect at the next start and stay as they were: "
                        "Port"),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("The prefix length 0 in 'IPv6PrefixLength' is outside 1 to 128 and is "
                        "taken as 64"),
            std::string::npos)
      << events;

  LineClient after("127.0.0.1", port_);  // still the old port
  EXPECT_EQ(after.Line().substr(0, 4), "220 ");
  after.Command("HELO after");
  EXPECT_EQ(after.Command("MAIL FROM:<a@b.test>").substr(0, 3), "250");
  EXPECT_EQ(after.Command("RCPT TO:<x@new.test>").substr(0, 3), "250");
  EXPECT_EQ(after.Command("RCPT TO:<x@old.test>"), "550 <x@old.test>... Relaying denied");

  EXPECT_EQ(before.Command("MAIL FROM:<a@b.test>").substr(0, 3), "250");
  EXPECT_EQ(before.Command("RCPT TO:<x@old.test>").substr(0, 3), "250");
  EXPECT_EQ(before.Command("RCPT TO:<x@new.test>"), "550 <x@new.test>... Relaying denied");

  proc_.Signal(SIGTERM);
  EXPECT_EQ(notify.Next(), "3/1 STOPPING=1");
  EXPECT_EQ(notify.Next(), "1/0");
  ASSERT_TRUE(proc_.Wait(15000));
  EXPECT_EQ(proc_.exitStatus(), 0) << Console();
}

TEST_F(ReceiverTest, AStopDoesNotWaitForASilentNameServer) {
  SilentUdpPort silent;
  ASSERT_NE(silent.port(), 0);
  // Every session asks a block list and the reverse name of its client of a server that
  // never answers, each lookup allowed a minute.
  WriteRegistry(BaseRegistry("\"VerifyDomains\"=dword:00000001\r\n\"DoDNSLists\"=dword:00000001\r\n"
                             "\"DNSTimeout\"=dword:0000ea60\r\n\"DNSServers\"=\"" +
                             silent.server() + "\"\r\n") +
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\WhiteList]\r\n"
                "\"1\"=\"200.2.3.4/1\"\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\first]\r\n"
                "\"Server\"=\"bl.test\"\r\n\r\n");
  NotifySocket notify(root_ + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  for (bool service : {false, true}) {
    SCOPED_TRACE(service ? "service" : "console");
    if (service) {
      ASSERT_TRUE(proc_.Start(program_, {},
                              {{"KESTRAN_ROOT", root_}, {"NOTIFY_SOCKET", root_ + "/notify.sock"}},
                              root_ + "/service.txt"));
      ASSERT_TRUE(WaitForPort(port_, 15000));
    } else {
      StartReceiver();
    }
    std::vector<std::unique_ptr<LineClient>> clients;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
      clients.push_back(std::make_unique<LineClient>(source, port_));
      EXPECT_EQ(clients.back()->Line().substr(0, 4), "220 ");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto start = std::chrono::steady_clock::now();
    proc_.Signal(SIGINT);
    ASSERT_TRUE(proc_.Wait(5000)) << "the stop waited for the name server";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(proc_.exitStatus(), 0) << Console();
  }
  // The range that stands for more than it says is kept, and named at start.
  EXPECT_NE(Console().find("The range '200.2.3.4/1' in 'WhiteList' has address bits outside "
                           "its mask and is taken as 128.0.0.0/1"),
            std::string::npos)
      << Console();
}

// A port that cannot be bound fails the start: the log line names the address and port,
// and the process ends with a non-zero status, so the service manager shows it failed.
TEST_F(ReceiverTest, APortInUseFailsTheStartNamingTheAddress) {
  const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port_);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  const std::string logPath = root_ + "/syslog.sock";
  const int log = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un u{};
  u.sun_family = AF_UNIX;
  std::strncpy(u.sun_path, logPath.c_str(), sizeof u.sun_path - 1);
  ASSERT_EQ(::bind(log, reinterpret_cast<sockaddr*>(&u), sizeof u), 0);
  WriteRegistry(BaseRegistry());
  NotifySocket notify(root_ + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  ASSERT_TRUE(proc_.Start(program_, {},
                          {{"KESTRAN_ROOT", root_},
                           {"NOTIFY_SOCKET", root_ + "/notify.sock"},
                           {"KESTRAN_SYSLOG_SOCKET", logPath}},
                          root_ + "/console.txt"));
  ASSERT_TRUE(proc_.Wait(15000));
  EXPECT_NE(proc_.exitStatus(), 0);
  std::string entries;
  pollfd p{log, POLLIN, 0};
  while (::poll(&p, 1, 500) > 0) {
    char buf[4096];
    const ssize_t n = ::recv(log, buf, sizeof buf, 0);
    if (n <= 0) break;
    entries.append(buf, static_cast<size_t>(n)).append("\n");
  }
  EXPECT_NE(entries.find("KESTRAN raised EConduitException: Could not bind socket. Address and "
                         "port are already in use. (127.0.0.1:" +
                         std::to_string(port_) + ")"),
            std::string::npos)
      << entries;
  ::close(log);
  ::close(taken);
}

}  // namespace
}  // namespace kestran::test
