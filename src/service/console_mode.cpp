#include <mutex>

#include "platform/console.h"
#include "platform/resolver.h"
#include "service/servroot.h"

namespace kestran {
namespace {

struct ConsoleModeState {
  std::mutex lock;  // held while the handler stops the services
  bool closing = false;
};

ConsoleModeState& State() {
  static ConsoleModeState* state = new ConsoleModeState;
  return *state;
}

}  // namespace

bool ConsoleCtrlHandler(uint32_t event) {
  if (event != kCtrlCEvent && event != kCtrlBreakEvent) return false;
  ConsoleModeState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (st.closing) return true;
  // Lookups in progress (the start's own included) must not hold the stop.
  AbandonLookups();
  for (TService* s : ServiceList().Items()) {
    WriteLineOut("Stopping " + s->DisplayName);
    s->Stop();
  }
  return true;
}

void RunConsole() {
  std::vector<TService*> services = ServiceList().Items();
  // Every service is in console mode before any control can arrive.
  for (TService* s : services) s->ConsoleMode = true;
  SetConsoleCtrlHandler(ConsoleCtrlHandler, true);
  for (TService* s : services) {
    WriteLineOut("Starting " + s->DisplayName);
    WriteLineOut("Press <Ctrl>-Break to terminate");
    s->StartUp();
    // A control that came before the service's thread ran found no thread to wait for:
    // the stop is made again once it runs, so that a service that ignores it still
    // meets the watchdog.
    ConsoleModeState& st = State();
    std::lock_guard<std::mutex> g(st.lock);
    const bool stoppedEarly = !s->Started() && s->StopRequested();
    s->Resume();
    if (stoppedEarly) s->Stop();
  }
  for (TService* s : services) s->WaitFor(kInfinite);
  // A handler still at work finishes first; later events change nothing.
  ConsoleModeState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  st.closing = true;
}

}  // namespace kestran
