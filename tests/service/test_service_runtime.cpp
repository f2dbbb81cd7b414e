// test-labels: threads
// The service runtime in-process: service types, the error guard of the entry points,
// and the stop, pause and continue sequence in console mode.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/error_text.h"
#include "service/servroot.h"

namespace kestran {
namespace {

class CountingService : public TService {
 public:
  using TService::TService;
  ~CountingService() override { StopAndWait(); }
  std::atomic<int> ticks{0};
  std::atomic<bool> returned{false};

 protected:
  void Run() override {
    while (!WaitForStop(5)) ++ticks;
    returned = true;
  }
};

TEST(ServiceRuntime, ServiceTypeFollowsListKindAndInteractive) {
  size_t before = ServiceList().Count();
  ASSERT_EQ(0u, before);
  {
    TService a("A", "Service A");
    EXPECT_EQ(1u, ServiceList().Count());
    EXPECT_EQ(0x10u, a.ServiceType());
    a.Interactive = true;
    EXPECT_EQ(0x110u, a.ServiceType());
    a.Account = "mailer";
    EXPECT_EQ(0x10u, a.ServiceType());
    {
      TService b("B", "Service B");
      EXPECT_EQ(0x20u, a.ServiceType());
      EXPECT_EQ(0x20u, b.ServiceType());
      ASSERT_EQ(2u, ServiceList().Items().size());
      EXPECT_EQ(&a, ServiceList().Items()[0]);
      b.Kind = 1;
      b.Interactive = true;
      EXPECT_EQ(0x1u, b.ServiceType());
      b.Kind = 2;
      EXPECT_EQ(0x2u, b.ServiceType());
    }
    EXPECT_EQ(0x10u, a.ServiceType());
    EXPECT_EQ(1000u, a.WaitHint);
    EXPECT_EQ(2u, a.StartType);
    EXPECT_TRUE(a.AcceptPauseContinue);
    EXPECT_TRUE(a.UseWatchDog);
    EXPECT_EQ(0, a.Dependencies[0]);
    a.SetName("RENAMED");
    EXPECT_STREQ("RENAMED", a.EventLog.SourceName());
  }
  EXPECT_EQ(0u, ServiceList().Count());
}

TEST(ServiceRuntime, LastErrorTextNamesTheCodeInUpperCaseHex) {
  TService s("S", "Service S");
  SetLastError(5);
  EXPECT_EQ("Access to the object was refused. (0x5)", s.LastErrorText());
  SetLastError(1073);
  EXPECT_EQ("A service of that name is already installed. (0x431)", s.LastErrorText());
  SetLastError(0xABCD);
  EXPECT_EQ(" (0xABCD)", s.LastErrorText());
}

TEST(ServiceRuntime, EntryPointErrorsGoToTheEventLog) {
  char tmpl[] = "/tmp/kestran-rt-XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(tmpl));
  std::string path = std::string(tmpl) + "/log";
  ::setenv("KESTRAN_SYSLOG_SOCKET", path.c_str(), 1);
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a));
  {
    // Without a dispatcher the control handler cannot be registered.
    TService s("KESTRAN", "DRX KESTRAN Service");
    ServiceCtrlHandler(&s, kServiceControlInterrogate);
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 2000));
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    std::string e(buf, static_cast<size_t>(n > 0 ? n : 0));
    EXPECT_EQ(0u, e.rfind("<27>", 0)) << e;
    EXPECT_NE(std::string::npos,
              e.find("]: KESTRAN raised EService: Unable to register service control handler"))
        << e;
  }
  ::close(fd);
  ::unsetenv("KESTRAN_SYSLOG_SOCKET");
  std::filesystem::remove_all(tmpl);
}

TEST(ServiceRuntime, ConsoleModePauseHoldsTheThreadAndStopReleasesIt) {
  CountingService s("C", "Counting");
  s.ConsoleMode = true;
  s.StartUp();
  s.Resume();
  while (s.ticks < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s.Pause();
  EXPECT_EQ(kServicePaused, s.CurrentState());
  // Once held, the count stands still.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  int held = s.ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(held, s.ticks.load());
  s.Continue();
  EXPECT_EQ(kServiceRunning, s.CurrentState());
  while (s.ticks < held + 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s.Pause();
  s.Stop();  // a paused service is released first, then stopped
  EXPECT_TRUE(s.returned);
  EXPECT_EQ(kWaitObject0, s.WaitFor(0));
  // In console mode nothing is sent: the checkpoint never moves.
  EXPECT_EQ(0u, s.StatusSnapshot().CheckPoint);
  EXPECT_EQ(kServiceStopPending, s.CurrentState());
}

TEST(ServiceRuntime, StopBeforeStartEndsRunAtOnce) {
  CountingService s("D", "Early");
  s.ConsoleMode = true;
  s.Stop();
  EXPECT_FALSE(s.Started());
  s.Resume();
  EXPECT_EQ(kWaitObject0, s.WaitFor(5000));
  EXPECT_EQ(0, s.ticks.load());
}

}  // namespace
}  // namespace kestran
