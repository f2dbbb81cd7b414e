// A small service program for the tests of the service host. Its behaviour follows
// environment variables:
//   FAKE_RUN           "now": Run returns at once; "late": Run returns 300 ms after the
//                      stop request; "never": Run ignores the stop; otherwise Run waits
//                      for the stop in 100 ms steps, passing the pause gate.
//   FAKE_WAITHINT      WaitHint in milliseconds (default 1000).
//   FAKE_STARTUP_FAIL  set: StartUp raises EService "start-up failed".
//   FAKE_STARTUP_DELAY milliseconds StartUp takes.
//   FAKE_SERVICES      "2": a second service, FAKETWO / "Fake Two Service".
//   FAKE_START_TYPE    StartType.
//   FAKE_ACCOUNT       Account.

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "service/servroot.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class TFakeService : public kestran::TService {
 public:
  TFakeService(const std::string& name, const std::string& display)
      : kestran::TService(name, display) {
    if (!Env("FAKE_WAITHINT").empty()) WaitHint = std::stoul(Env("FAKE_WAITHINT"));
    if (!Env("FAKE_START_TYPE").empty()) StartType = std::stoul(Env("FAKE_START_TYPE"));
    Account = Env("FAKE_ACCOUNT");
  }
  ~TFakeService() override {
    if (Env("FAKE_RUN") != "never") StopAndWait();
  }

  void StartUp() override {
    if (!Env("FAKE_STARTUP_DELAY").empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(Env("FAKE_STARTUP_DELAY"))));
    if (!Env("FAKE_STARTUP_FAIL").empty()) throw kestran::EService("start-up failed");
  }
  void ShowBanner() override { kestran::WriteLineOut("Fake service 1.0"); }
  void Run() override {
    std::string mode = Env("FAKE_RUN");
    if (mode == "now") return;
    if (mode == "never") {
      for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    while (!WaitForStop(100)) {
    }
    if (mode == "late") std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
};

}  // namespace

int main(int argc, char** argv) {
  kestran::MakeService<TFakeService>("KESTRANTEST", "Kestran Test Service");
  if (Env("FAKE_SERVICES") == "2")
    kestran::MakeService<TFakeService>("FAKETWO", "Fake Two Service");
  kestran::RunServices(argc, argv);
}
