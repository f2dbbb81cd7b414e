// Kernel objects, waits, the event log and error texts.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/error_text.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "platform/syslog.h"
#include "service/ntobj.h"

namespace kestran {
namespace {

namespace fs = std::filesystem;

class NeverCreated : public TKernelObject {
 public:
  int attempts = 0;
  const char* ClassName() const override { return "NeverCreated"; }

 protected:
  std::unique_ptr<Waitable> CreateHandle() override {
    ++attempts;
    return nullptr;
  }
};

class Idle : public TThread {
 protected:
  void Execute() override {}
};

TEST(KernelObjects, HandleIsCreatedOnFirstUseAndFailureRaises) {
  TEvent e;
  EXPECT_EQ(nullptr, e.Handle());
  EXPECT_EQ(0xFFFFFFFFu, e.ManualReset);
  EXPECT_EQ(0u, e.InitialState);
  Waitable* h = e.GetHandle();
  EXPECT_EQ(h, e.GetHandle());
  EXPECT_FALSE(h->IsSet());
  EXPECT_TRUE(e.Signal());
  EXPECT_TRUE(h->IsSet());
  EXPECT_TRUE(h->IsSet());  // manual reset: stays signalled after a look
  EXPECT_TRUE(e.Reset());
  EXPECT_FALSE(h->IsSet());

  NeverCreated n;
  try {
    n.GetHandle();
    FAIL() << "no error";
  } catch (const EKernelObject& err) {
    EXPECT_STREQ("Can't create NeverCreated", err.what());
    EXPECT_STREQ("EKernelObject", err.ClassName());
  }
  EXPECT_THROW(n.GetHandle(), EKernelObject);
  EXPECT_EQ(2, n.attempts);  // tried again at the next use
}

TEST(KernelObjects, KeptHandleOutlivesItsObject) {
  Waitable* h;
  {
    TEvent e;
    e.KeepHandle = true;
    h = e.GetHandle();
    e.Signal();
  }
  EXPECT_TRUE(h->IsSet());
}

TEST(KernelObjects, WaitsOverEventsThreadsAndOtherObjects) {
  TEvent a, b;
  int plain = 0;
  TWaitObject one[] = {&a};
  EXPECT_EQ(kWaitTimeout, WaitForAny(one, 0, 10));
  b.Signal();
  TWaitObject two[] = {&a, &b};
  EXPECT_EQ(kWaitObject0 + 1, WaitForAny(two, 1, 10));
  EXPECT_EQ(kWaitTimeout, WaitForObjects(two, 1, true, 10));
  a.Signal();
  EXPECT_EQ(kWaitObject0, WaitForAllInList({&a, &b}, 10));
  EXPECT_EQ(kWaitObject0, WaitForList({&a, &b}, false, 0));

  // Anything that is neither a kernel object nor a thread waits on FallbackEvent.
  TWaitObject other[] = {&plain};
  EXPECT_EQ(FallbackEvent().GetHandle(), HandleOf(other[0]));
  EXPECT_EQ(kWaitTimeout, WaitForAny(other, 0, 20));
  EXPECT_EQ(kWaitFailed, WaitForList({}, false, 0));

  Idle t;
  t.Resume();
  t.WaitFor();
  TWaitObject thread[] = {&t};
  EXPECT_EQ(kWaitObject0, WaitForAny(thread, 0, 0));
}

class SyslogSink {
 public:
  explicit SyslogSink(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ::bind(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  }
  ~SyslogSink() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  std::string Receive() {
    struct pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return "";
    char buf[16384];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_;
};

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestran-evlog-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
    ::setenv("KESTRAN_ROOT", dir_.c_str(), 1);
    ::setenv("KESTRAN_SYSLOG_SOCKET", (dir_ + "/log").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KESTRAN_ROOT");
    ::unsetenv("KESTRAN_SYSLOG_SOCKET");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST_F(EventLogTest, ReportSendsOneSyslogEntryPerKind) {
  TEventLog log("KESTRAN");
  log.Report(kLogError, "dropped, nobody listens");  // no socket: silently dropped
  SyslogSink sink(dir_ + "/log");
  const int priorities[] = {30, 30, 28, 27, 27};
  for (int kind = 0; kind <= 4; ++kind) {
    log.Report(kind, "text " + std::to_string(kind));
    std::string e = sink.Receive();
    std::string head = "<" + std::to_string(priorities[kind]) + ">";
    EXPECT_EQ(0u, e.rfind(head, 0)) << e;
    std::string tail = " KESTRAN[" + std::to_string(::getpid()) + "]: text " + std::to_string(kind);
    ASSERT_GE(e.size(), tail.size());
    EXPECT_EQ(tail, e.substr(e.size() - tail.size())) << e;
  }
  EXPECT_EQ(0xC0000100u, TEventLog::EventId(4));
  EXPECT_EQ(0x80000102u, TEventLog::EventId(2));
}

TEST_F(EventLogTest, SourceNameIsCutAndSourceRegistersAndUnregisters) {
  std::string longName(70, 'S');
  TEventLog log(longName);
  EXPECT_EQ(std::string(63, 'S'), log.SourceName());
  log.SetSourceName("KESTRANEV");
  EXPECT_STREQ("KESTRANEV", log.SourceName());

  EXPECT_FALSE(log.UnregisterSource());  // no key yet
  EXPECT_TRUE(log.RegisterSource("/old/path"));
  EXPECT_TRUE(log.RegisterSource("/usr/bin/kestran"));  // existing key: overwritten
  TRegKey key;
  ASSERT_EQ(kRegSuccess, OpenRegKey(log.SourceKey(), kKeyRead, key));
  uint32_t type;
  std::string data;
  ASSERT_EQ(kRegSuccess, key.QueryValue("EventMessageFile", type, data));
  EXPECT_EQ(kRegExpandSz, type);
  EXPECT_EQ(std::string("/usr/bin/kestran", 17), data);
  ASSERT_EQ(kRegSuccess, key.QueryValue("TypesSupported", type, data));
  EXPECT_EQ(std::string("\x07\0\0\0", 4), data);
  key.Close();
  EXPECT_TRUE(log.UnregisterSource());
  EXPECT_FALSE(RegKeyExists(log.SourceKey()));
  EXPECT_FALSE(log.UnregisterSource());

  TEventLog bad("a\\b");
  EXPECT_FALSE(bad.RegisterSource("/x"));
}

TEST(ErrorText, KnownCodesEndInLineBreakUnknownAreEmpty) {
  for (uint32_t code : {2u, 3u, 5u, 53u, 80u, 112u, 1056u, 1060u, 1062u, 1063u, 1073u}) {
    std::string t = SystemErrorText(code);
    ASSERT_GT(t.size(), 2u) << code;
    EXPECT_EQ("\r\n", t.substr(t.size() - 2)) << code;
  }
  EXPECT_EQ("", SystemErrorText(4242));
  SetLastError(1060);
  EXPECT_EQ(1060u, GetLastError());
}

TEST(UnitText, ValuesAreEscapedAndUnsafeOnesRefused) {
  TServiceConfig c;
  c.Name = "KESTRAN";
  c.DisplayName = "100% mail";
  c.BinaryPath = "/opt/my dir/kestran$";
  c.Account = "DOMAIN\\mailer";
  c.Dependencies = {"dnsd"};
  std::string text;
  ASSERT_TRUE(TServiceManager::UnitText(c, "/data root", text));
  EXPECT_NE(std::string::npos, text.find("\nDescription=100%% mail\n"));
  EXPECT_NE(std::string::npos, text.find("\nExecStart=\"/opt/my dir/kestran$$\"\n"));
  EXPECT_NE(std::string::npos, text.find("\nEnvironment=\"KESTRAN_ROOT=/data root\"\n"));
  EXPECT_NE(std::string::npos, text.find("\nUser=mailer\n"));
  EXPECT_NE(std::string::npos, text.find("\nAfter=dnsd.service\nRequires=dnsd.service\n"));

  c.DisplayName = "two\nlines";
  EXPECT_FALSE(TServiceManager::UnitText(c, "/r", text));
  EXPECT_EQ(kErrorInvalidParameter, GetLastError());
  c.DisplayName = "ok";
  c.Name = "../evil";
  EXPECT_FALSE(TServiceManager::UnitText(c, "/r", text));
  EXPECT_EQ(kErrorInvalidName, GetLastError());
  c.Name = "KESTRAN";
  c.ServiceType = kServiceKernelDriver;
  EXPECT_FALSE(TServiceManager::UnitText(c, "/r", text));
}

TEST(Notify, DatagramCarriesTheStatusFields) {
  TServiceStatus s;
  s.CurrentState = kServicePaused;
  s.CheckPoint = 0;
  s.WaitHint = 1000;
  EXPECT_EQ("STATUS=Paused\nX_KESTRAN_STATE=7\nX_KESTRAN_CHECKPOINT=0\nX_KESTRAN_WAITHINT=1000\n",
            NotifyMessage(s));
  // Running is told by READY=1 alone; start and stop pending carry the wait hint.
  s.CurrentState = kServiceRunning;
  EXPECT_EQ("READY=1\nX_KESTRAN_STATE=4\nX_KESTRAN_CHECKPOINT=0\nX_KESTRAN_WAITHINT=1000\n",
            NotifyMessage(s));
  s.CurrentState = kServiceStopPending;
  s.CheckPoint = 3;
  EXPECT_EQ(
      "STOPPING=1\nEXTEND_TIMEOUT_USEC=1000000\nX_KESTRAN_STATE=3\nX_KESTRAN_CHECKPOINT=3\n"
      "X_KESTRAN_WAITHINT=1000\n",
      NotifyMessage(s));
}

}  // namespace
}  // namespace kestran
