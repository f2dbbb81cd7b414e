#include <cstdio>
#include <cstdlib>

#include "service/servroot.h"

namespace kestran {

TWatchDog::TWatchDog(TService* service) : TThread(true), Service(service) {
  Resume();
}

void TWatchDog::Execute() {
  TService* s = Service;
  for (int i = 0; i < 5; ++i) {
    if (s->WaitFor(s->WaitHint) == kWaitObject0) return;
    try {
      s->ReportStatus(kServiceStopPending);
    } catch (const Exception&) {
      // A lost report does not keep the watchdog from ending the service.
    }
  }
  std::lock_guard<std::recursive_mutex> g(s->statusLock_);
  if (s->WaitFor(0) == kWaitObject0 || s->Status.CurrentState == kServiceStopped) return;
  // A thread cannot be ended safely on its own: the whole process ends right after
  // the stopped report, so that no code of the service runs on. The lock keeps every
  // other report of this service from following it.
  s->LogMessage(kLogWarning,
                s->Name() + " had to be terminated: it did not respond to the stop request");
  try {
    s->ReportStatus(kServiceStopped);
  } catch (const Exception&) {
  }
  std::fflush(nullptr);
  std::_Exit(static_cast<int>(s->Status.Win32ExitCode));
}

}  // namespace kestran
