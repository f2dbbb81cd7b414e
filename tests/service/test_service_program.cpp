// test-labels: threads
// Runs the test service program through its command line, console mode and dispatcher
// mode, against a temporary unit directory, data root and syslog socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"

extern char** environ;

namespace kestran {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string FakeProgram() {
  const char* b = std::getenv("KESTRAN_BUILD_DIR");
  return std::string(b ? b : ".") + "/tests/service_fake_service";
}

// A datagram socket bound to a path (or an abstract name) that the child writes to.
class DatagramSink {
 public:
  explicit DatagramSink(const std::string& path, bool abstract = false) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    socklen_t len;
    if (abstract) {
      std::memcpy(a.sun_path + 1, path.data(), path.size());
      len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + path.size());
    } else {
      std::memcpy(a.sun_path, path.data(), path.size());
      len = sizeof a;
    }
    EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<struct sockaddr*>(&a), len)) << path;
  }
  ~DatagramSink() { ::close(fd_); }
  // The next datagram, or "" after timeoutMs.
  std::string Receive(int timeoutMs = 10000) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return "";
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
};

std::map<std::string, std::string> Fields(const std::string& datagram) {
  std::map<std::string, std::string> f;
  std::istringstream in(datagram);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) f[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return f;
}

// "state/checkpoint/waithint" of a status datagram.
std::string Report(const std::string& datagram) {
  auto f = Fields(datagram);
  return f["X_KESTRAN_STATE"] + "/" + f["X_KESTRAN_CHECKPOINT"] + "/" + f["X_KESTRAN_WAITHINT"];
}

class Child {
 public:
  // stopSignalsOff: the child starts as a background job of a script or some supervisors
  // start it, with SIGINT and SIGQUIT ignored and blocked.
  Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
        bool stopSignalsOff = false) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      std::string s = *e;
      std::string key = s.substr(0, s.find('='));
      if (key == "NOTIFY_SOCKET" || env.count(key)) continue;
      envStrings.push_back(s);
    }
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<std::string> argStrings = {FakeProgram()};
    if (stopSignalsOff)
      argStrings = {"/bin/sh", "-c", "trap '' INT QUIT; exec \"$0\" \"$@\"", FakeProgram()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    int p[2];
    EXPECT_EQ(0, ::pipe2(p, O_CLOEXEC));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    // The child starts with default signal handling, whatever this process does.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (stopSignalsOff) {
      sigaddset(&none, SIGINT);
      sigaddset(&none, SIGQUIT);
    }
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    EXPECT_EQ(0, ::posix_spawn(&pid_, argv[0], &fa, &attr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(p[1]);
    out_ = p[0];
  }
  ~Child() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  // Reads output until it holds needle; false after timeoutMs.
  bool ReadUntil(const std::string& needle, int timeoutMs = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output_.find(needle) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }
  // Exit status after the child ended (all output read); -1 when it did not end in time.
  int Wait(int timeoutMs = 20000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (!ReadSome(static_cast<int>(left.count()) + 1)) break;
    }
    int st = 0;
    while (Clock::now() < end) {
      pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
      }
      ::usleep(10000);
    }
    return -1;
  }
  const std::string& Output() const { return output_; }
  pid_t Pid() const { return pid_; }

 private:
  // False at end of output or time-out.
  bool ReadSome(int timeoutMs) {
    struct pollfd p = {out_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string output_;
};

class ServiceProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestran-service-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
    units_ = dir_ + "/units";
    root_ = dir_ + "/root";
    fs::create_directories(units_);
    fs::create_directories(root_);
    env_ = {{"KESTRAN_UNIT_DIR", units_},
            {"KESTRAN_ROOT", root_},
            {"KESTRAN_SYSLOG_SOCKET", dir_ + "/syslog"}};
    // Run by root, installing with the default account would make an account on this
    // machine: the service gets one that exists instead.
    if (::geteuid() == 0) env_["FAKE_ACCOUNT"] = "nobody";
    ::setenv("KESTRAN_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KESTRAN_ROOT");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::map<std::string, std::string> Env(std::map<std::string, std::string> extra = {}) {
    auto e = env_;
    for (auto& [k, v] : extra) e[k] = v;
    return e;
  }
  // Runs the program to its end; returns its exit status and output.
  std::pair<int, std::string> RunToEnd(const std::vector<std::string>& args,
                                       std::map<std::string, std::string> extra = {}) {
    Child c(args, Env(extra));
    int status = c.Wait();
    return {status, c.Output()};
  }
  std::string dir_, units_, root_;
  std::map<std::string, std::string> env_;
};

TEST_F(ServiceProgramTest, SwitchesAreNormalisedAndUnknownOnesStartTheDispatcher) {
  EXPECT_EQ(std::make_pair(0, std::string("Fake service 1.0\r\n")), RunToEnd({"-VERSION"}));
  EXPECT_EQ(std::make_pair(0, std::string("Fake service 1.0\r\n")), RunToEnd({"/version"}));
  const std::string failed = "Exception: StartServiceCtrlDispatcher failed.\r\n";
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"--DEBUG"}, {"DEBUG"}, {"-HELP"}, {""}}) {
    EXPECT_EQ(std::make_pair(1, failed), RunToEnd(args)) << (args.empty() ? "" : args[0]);
  }
}

TEST_F(ServiceProgramTest, InstallWritesTheUnitAndEventSourceOnce) {
  // A unit directory that does not exist yet is made.
  fs::remove_all(units_);
  auto [status, out] = RunToEnd({"-install"});
  EXPECT_EQ(0, status);
  // Then what was done about the account and the data root.
  const std::string said = "Fake service 1.0\r\nKestran Test Service installed.\r\n";
  ASSERT_EQ(0u, out.rfind(said, 0)) << out;
  const std::string note =
      ::geteuid() == 0 ? root_ + " and everything in it belong to nobody:"
                       : "Not run as root: no account was made and " + root_ + " keeps its owner";
  EXPECT_EQ(said.size(), out.find(note)) << out;
  EXPECT_EQ(1, std::count(out.begin() + static_cast<long>(said.size()), out.end(), '\n')) << out;
  std::ifstream unit(units_ + "/KESTRANTEST.service");
  std::stringstream text;
  text << unit.rdbuf();
  std::string head =
      "[Unit]\nDescription=Kestran Test Service\nAfter=network.target\n\n"
      "[Service]\nType=notify\nExecStart=" +
      FakeProgram() + "\nEnvironment=KESTRAN_ROOT=" + root_ +
      "\nUser=" + (::geteuid() == 0 ? "nobody\n" : "kestran\nGroup=kestran\n") + "UMask=0027\n";
  EXPECT_EQ(0u, text.str().rfind(head, 0)) << text.str();
  const std::string tail =
      "\nSystemCallErrorNumber=EPERM\n\n[Install]\nWantedBy=multi-user.target\n";
  EXPECT_EQ(text.str().size() - tail.size(), text.str().find(tail)) << text.str();
  std::string link = units_ + "/multi-user.target.wants/KESTRANTEST.service";
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::path(units_ + "/KESTRANTEST.service"), fs::read_symlink(link));

  TRegKey key;
  ASSERT_EQ(kRegSuccess,
            OpenRegKey("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KESTRANTEST",
                       kKeyRead, key));
  uint32_t type = 0;
  std::string data;
  ASSERT_EQ(kRegSuccess, key.QueryValue("EventMessageFile", type, data));
  EXPECT_EQ(kRegExpandSz, type);
  EXPECT_EQ(FakeProgram() + std::string(1, '\0'), data);
  ASSERT_EQ(kRegSuccess, key.QueryValue("TypesSupported", type, data));
  EXPECT_EQ(kRegDword, type);
  EXPECT_EQ(std::string("\x07\0\0\0", 4), data);

  auto [status2, out2] = RunToEnd({"-INSTALL"});
  EXPECT_EQ(0, status2);
  EXPECT_EQ(
      "Fake service 1.0\r\nCreateService failed - A service of that name is already "
      "installed. (0x431)\r\n",
      out2);
}

TEST_F(ServiceProgramTest, StartTypesAccountAndTwoServices) {
  auto [status, out] =
      RunToEnd({"-INSTALL"},
               {{"FAKE_START_TYPE", "3"}, {"FAKE_ACCOUNT", ".\\nobody"}, {"FAKE_SERVICES", "2"}});
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, out.find("\r\nKestran Test Service installed.\r\n")) << out;
  EXPECT_NE(std::string::npos, out.find("\r\nFake Two Service installed.\r\n")) << out;
  EXPECT_FALSE(fs::exists(units_ + "/multi-user.target.wants/KESTRANTEST.service"));
  std::ifstream unit(units_ + "/FAKETWO.service");
  std::stringstream text;
  text << unit.rdbuf();
  EXPECT_NE(std::string::npos, text.str().find("\nUser=nobody\n"));
  // A named account brings its own group.
  EXPECT_EQ(std::string::npos, text.str().find("\nGroup="));
  EXPECT_NE(std::string::npos, text.str().find("\nDescription=Fake Two Service\n"));

  // An account that does not exist installs nothing.
  fs::remove(units_ + "/KESTRANTEST.service");
  auto [status2, out2] = RunToEnd({"-INSTALL"}, {{"FAKE_ACCOUNT", "no-such-account-here"}});
  EXPECT_EQ(0, status2);
  EXPECT_EQ(
      "Fake service 1.0\r\nCreateService failed - The account does not exist or cannot be "
      "used for the service. (0x421)\r\n",
      out2);
  EXPECT_FALSE(fs::exists(units_ + "/KESTRANTEST.service"));
}

TEST_F(ServiceProgramTest, RemoveDeletesUnitLinkAndEventSource) {
  ASSERT_EQ(0, RunToEnd({"-INSTALL"}).first);
  auto [status, out] = RunToEnd({"-REMOVE"});
  EXPECT_EQ(0, status);
  // Without a running systemd the stop control fails and removal goes on silently.
  EXPECT_EQ("Fake service 1.0\r\nKestran Test Service removed.\r\n", out);
  EXPECT_FALSE(fs::exists(units_ + "/KESTRANTEST.service"));
  EXPECT_FALSE(fs::is_symlink(units_ + "/multi-user.target.wants/KESTRANTEST.service"));
  EXPECT_FALSE(
      RegKeyExists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KESTRANTEST"));

  auto [status2, out2] = RunToEnd({"/Remove"});
  EXPECT_EQ(0, status2);
  EXPECT_EQ(
      "Fake service 1.0\r\nOpenService failed - No service of that name is installed. "
      "(0x424).\r\n",
      out2);
}

TEST_F(ServiceProgramTest, ConsoleModeStopsOnCtrlCAndCtrlBreak) {
  {
    Child c({"-debug"}, Env({{"FAKE_SERVICES", "2"}}));
    ASSERT_TRUE(c.ReadUntil("Starting Fake Two Service\r\nPress <Ctrl>-Break to terminate\r\n"));
    c.Signal(SIGINT);
    EXPECT_EQ(0, c.Wait());
    EXPECT_EQ(
        "Fake service 1.0\r\n"
        "Starting Kestran Test Service\r\nPress <Ctrl>-Break to terminate\r\n"
        "Starting Fake Two Service\r\nPress <Ctrl>-Break to terminate\r\n"
        "Stopping Kestran Test Service\r\nStopping Fake Two Service\r\n",
        c.Output());
  }
  {
    Child c({"/DEBUG"}, Env());
    ASSERT_TRUE(c.ReadUntil("terminate\r\n"));
    c.Signal(SIGQUIT);
    EXPECT_EQ(0, c.Wait());
    EXPECT_NE(std::string::npos, c.Output().find("Stopping Kestran Test Service\r\n"));
  }
}

TEST_F(ServiceProgramTest, ConsoleModeStopsWhateverTheStopSignalsCameWith) {
  for (int sig : {SIGINT, SIGQUIT}) {
    Child c({"-DEBUG"}, Env(), true);
    ASSERT_TRUE(c.ReadUntil("terminate\r\n")) << sig;
    c.Signal(sig);
    EXPECT_EQ(0, c.Wait(10000)) << sig;
    EXPECT_NE(std::string::npos, c.Output().find("Stopping Kestran Test Service\r\n")) << sig;
  }
}

TEST_F(ServiceProgramTest, ConsoleModeWatchdogEndsAServiceThatIgnoresTheStop) {
  // The second time Ctrl-C comes while the service is still starting, before its thread
  // runs: the watchdog must still end it. (Not under ThreadSanitizer, whose runtime holds
  // a signal that arrives during the start-up's sleep back from the program.)
#if defined(__SANITIZE_THREAD__)
  for (const char* delay : {"0"}) {
#else
  for (const char* delay : {"0", "300"}) {
#endif
    Child c({"-DEBUG"},
            Env({{"FAKE_RUN", "never"}, {"FAKE_WAITHINT", "100"}, {"FAKE_STARTUP_DELAY", delay}}));
    ASSERT_TRUE(c.ReadUntil("terminate\r\n"));
    c.Signal(SIGINT);
    EXPECT_EQ(0, c.Wait()) << delay;
    EXPECT_EQ(
        "Fake service 1.0\r\nStarting Kestran Test Service\r\nPress <Ctrl>-Break to "
        "terminate\r\nStopping Kestran Test Service\r\nKESTRANTEST had to be terminated: it "
        "did not respond to the stop request\r\n",
        c.Output())
        << delay;
  }
}

TEST_F(ServiceProgramTest, ConsoleModeStartUpErrorEndsTheProgram) {
  auto [status, out] = RunToEnd({"-DEBUG"}, {{"FAKE_STARTUP_FAIL", "1"}});
  EXPECT_EQ(1, status);
  EXPECT_EQ(
      "Fake service 1.0\r\nStarting Kestran Test Service\r\nPress <Ctrl>-Break to "
      "terminate\r\nEService: start-up failed\r\n",
      out);
}

TEST_F(ServiceProgramTest, DispatcherReportsEveryStateAndTakesControlsAsSignals) {
  DatagramSink notify(dir_ + "/notify");
  Child c({}, Env({{"NOTIFY_SOCKET", dir_ + "/notify"}}));
  std::string d = notify.Receive();
  EXPECT_EQ("2/1/1000", Report(d));
  EXPECT_EQ("Starting", Fields(d)["STATUS"]);
  EXPECT_EQ("1000000", Fields(d)["EXTEND_TIMEOUT_USEC"]);
  d = notify.Receive();
  EXPECT_EQ("4/0/0", Report(d));
  EXPECT_EQ("1", Fields(d)["READY"]);

  c.Signal(SIGHUP);
  EXPECT_EQ("4/0/0", Report(notify.Receive()));
  c.Signal(SIGUSR1);
  EXPECT_EQ("6/1/1000", Report(notify.Receive()));
  EXPECT_EQ("7/0/1000", Report(notify.Receive()));
  c.Signal(SIGHUP);
  EXPECT_EQ("7/0/0", Report(notify.Receive()));
  c.Signal(SIGUSR2);
  EXPECT_EQ("5/0/1000", Report(notify.Receive()));
  EXPECT_EQ("4/0/0", Report(notify.Receive()));
  // Stopping a paused service releases its thread first.
  c.Signal(SIGUSR1);
  EXPECT_EQ("6/1/1000", Report(notify.Receive()));
  EXPECT_EQ("7/0/1000", Report(notify.Receive()));
  c.Signal(SIGTERM);
  d = notify.Receive();
  EXPECT_EQ("3/1/20", Report(d));
  EXPECT_EQ("1", Fields(d)["STOPPING"]);
  EXPECT_EQ("20000", Fields(d)["EXTEND_TIMEOUT_USEC"]);
  d = notify.Receive();
  EXPECT_EQ("1/0/1000", Report(d));
  EXPECT_EQ("Stopped", Fields(d)["STATUS"]);
  EXPECT_EQ(0, c.Wait());
  EXPECT_EQ("", c.Output());
}

TEST_F(ServiceProgramTest, DispatcherOnAbstractSocketKeepsAnEarlyStopUntilRunning) {
  std::string name = "kestran-test-" + std::to_string(::getpid());
  DatagramSink notify(name, true);
  Child c({}, Env({{"NOTIFY_SOCKET", "@" + name}, {"FAKE_STARTUP_DELAY", "300"}}));
  EXPECT_EQ("2/1/1000", Report(notify.Receive()));
  c.Signal(SIGTERM);
  EXPECT_EQ("4/0/0", Report(notify.Receive()));
  EXPECT_EQ("3/1/20", Report(notify.Receive()));
  EXPECT_EQ("1/0/1000", Report(notify.Receive()));
  EXPECT_EQ(0, c.Wait());
}

TEST_F(ServiceProgramTest, DispatcherWatchdogEndsTheProcessAfterTheStoppedReport) {
  DatagramSink notify(dir_ + "/notify");
  DatagramSink syslog(dir_ + "/syslog");
  Child c(
      {},
      Env({{"NOTIFY_SOCKET", dir_ + "/notify"}, {"FAKE_RUN", "never"}, {"FAKE_WAITHINT", "100"}}));
  EXPECT_EQ("2/1/100", Report(notify.Receive()));
  EXPECT_EQ("4/0/0", Report(notify.Receive()));
  c.Signal(SIGTERM);
  EXPECT_EQ("3/1/20", Report(notify.Receive()));
  // While it stops, the service takes neither a pause nor a second stop.
  c.Signal(SIGUSR1);
  c.Signal(SIGTERM);
  for (int cp = 2; cp <= 7; ++cp)
    EXPECT_EQ("3/" + std::to_string(cp) + "/20", Report(notify.Receive()));
  EXPECT_EQ("1/0/100", Report(notify.Receive()));
  std::string entry = syslog.Receive();
  EXPECT_EQ(0, entry.rfind("<28>", 0)) << entry;
  EXPECT_NE(std::string::npos,
            entry.find(" KESTRANTEST[" + std::to_string(c.Pid()) +
                       "]: KESTRANTEST had to be terminated: it did not respond to the stop "
                       "request"))
      << entry;
  EXPECT_EQ(0, c.Wait());
  EXPECT_EQ("", notify.Receive(200));
}

TEST_F(ServiceProgramTest, DispatcherLateRunEndsWithoutForce) {
  DatagramSink notify(dir_ + "/notify");
  Child c(
      {},
      Env({{"NOTIFY_SOCKET", dir_ + "/notify"}, {"FAKE_RUN", "late"}, {"FAKE_WAITHINT", "200"}}));
  EXPECT_EQ("2/1/200", Report(notify.Receive()));
  EXPECT_EQ("4/0/0", Report(notify.Receive()));
  c.Signal(SIGTERM);
  EXPECT_EQ("3/1/20", Report(notify.Receive()));
  std::string last;
  for (;;) {
    std::string d = notify.Receive();
    if (d.empty()) break;
    last = Report(d);
    if (Fields(d)["X_KESTRAN_STATE"] != "3") break;
  }
  EXPECT_EQ("1/0/200", last);
  EXPECT_EQ(0, c.Wait());
}

TEST_F(ServiceProgramTest, DispatcherStartUpErrorIsLoggedAndTheProcessEnds) {
  DatagramSink notify(dir_ + "/notify");
  DatagramSink syslog(dir_ + "/syslog");
  Child c({}, Env({{"NOTIFY_SOCKET", dir_ + "/notify"}, {"FAKE_STARTUP_FAIL", "1"}}));
  EXPECT_EQ("2/1/1000", Report(notify.Receive()));
  std::string entry = syslog.Receive();
  EXPECT_EQ(0, entry.rfind("<27>", 0)) << entry;
  EXPECT_NE(std::string::npos, entry.find("]: KESTRANTEST raised EService: start-up failed"))
      << entry;
  EXPECT_EQ(0, c.Wait());
  EXPECT_EQ("", notify.Receive(200));
}

}  // namespace
}  // namespace kestran
