#include "platform/error_text.h"
#include "platform/resolver.h"
#include "service/servroot.h"

namespace kestran {

TService::TService(const std::string& name, const std::string& displayName)
    : TThread(true), EventLog(name) {
  ServiceMainEntry = [this](uint32_t argc, char** argv) { ServiceMain(this, argc, argv); };
  CtrlHandlerEntry = [this](uint32_t control) { ServiceCtrlHandler(this, control); };
  SetName(name);
  DisplayName = displayName;
  ServiceList().Add(this);
}

TService::~TService() {
  StopAndWait();
  watchDog_.reset();
  ServiceList().Remove(this);
}

void TService::StopAndWait() {
  RequestStop();
  StopEvent.Signal();
  EndAndWait();
}

void TService::SetName(const std::string& name) {
  name_ = name;
  EventLog.SetSourceName(name);
}

uint32_t TService::CurrentState() const {
  std::lock_guard<std::recursive_mutex> g(statusLock_);
  return Status.CurrentState;
}

TServiceStatus TService::StatusSnapshot() const {
  std::lock_guard<std::recursive_mutex> g(statusLock_);
  return Status;
}

void TService::Run() {
  while (!WaitForStop(kInfinite)) {
  }
}

bool TService::WaitForStop(uint32_t timeoutMs) {
  PassGate();
  if (StopRequested()) return true;
  TWaitObject stop(StopEvent);
  return WaitForAny(&stop, 0, timeoutMs) == kWaitObject0 || StopRequested();
}

void TService::InitStatus() {
  std::lock_guard<std::recursive_mutex> g(statusLock_);
  Status = TServiceStatus{};
  Status.ServiceType = ServiceType();
}

uint32_t TService::ServiceType() const {
  if (Kind == 1) return kServiceKernelDriver;
  if (Kind == 2) return kServiceFileSystemDriver;
  uint32_t type = ServiceList().Count() > 1 ? kServiceWin32ShareProcess : kServiceWin32OwnProcess;
  if (Interactive && Account.empty()) type |= kServiceInteractiveProcess;
  return type;
}

void TService::ReportStatus(uint32_t state) {
  std::lock_guard<std::recursive_mutex> g(statusLock_);
  if (StatusHandle == 0) InitStatus();
  Status.CurrentState = state;
  if (state == kServiceStopPending)
    Status.WaitHint = 20;
  else if (state == kServiceRunning)
    Status.WaitHint = 0;
  else
    Status.WaitHint = WaitHint;
  if (state == kServiceStartPending)
    Status.ControlsAccepted = 0;
  else
    Status.ControlsAccepted = kServiceAcceptStop |
                              (AcceptPauseContinue ? kServiceAcceptPauseContinue : 0) |
                              (AcceptParamChange ? kServiceAcceptParamChange : 0);
  SendStatus();
}

void TService::SendStatus() {
  std::lock_guard<std::recursive_mutex> g(statusLock_);
  if (ConsoleMode.load()) return;
  uint32_t state = Status.CurrentState;
  if (state == kServiceStartPending || state == kServiceStopPending ||
      state == kServicePausePending)
    ++Status.CheckPoint;
  else
    Status.CheckPoint = 0;
  if (!SetServiceStatus(GetStatusHandle(), Status)) throw EService("SetServiceStatus");
  Status.WaitHint = 0;
}

uintptr_t TService::GetStatusHandle() {
  std::lock_guard<std::recursive_mutex> g(statusLock_);
  if (StatusHandle == 0) {
    StatusHandle = RegisterServiceCtrlHandler(name_, CtrlHandlerEntry);
    if (StatusHandle == 0) throw EService("Unable to register service control handler");
  }
  return StatusHandle;
}

void TService::Stop() {
  // Sessions waiting on a name server must not hold the stop.
  AbandonLookups();
  ReportStatus(kServiceStopPending);
  if (Started() && Suspended()) Resume();
  RequestStop();
  StopEvent.Signal();
  if (WaitFor(WaitHint) != kWaitObject0 && UseWatchDog) {
    ReportStatus(kServiceStopPending);
    // One watchdog at a time: a repeated stop request leaves the running one at work.
    if (!watchDog_ || watchDog_->Finished()) {
      watchDog_.reset();
      watchDog_ = std::make_unique<TWatchDog>(this);
    }
  }
}

void TService::Pause() {
  ReportStatus(kServicePausePending);
  Suspend();
  ReportStatus(kServicePaused);
}

void TService::Continue() {
  ReportStatus(kServiceContinuePending);
  if (Started()) Resume();
  ReportStatus(kServiceRunning);
}

void TService::LogMessage(int kind, const std::string& text) {
  if (ConsoleMode.load())
    WriteLineOut(text);
  else
    EventLog.Report(kind, text);
}

namespace {

void ReportError(TService* service, const Exception& e) {
  service->LogMessage(kLogException,
                      service->Name() + " raised " + e.ClassName() + ": " + e.Message());
}

}  // namespace

void ServiceMain(TService* service, uint32_t /*argc*/, char** /*argv*/) {
  try {
    service->ReportStatus(kServiceStartPending);
    service->StopEvent.Reset();
    service->StartUp();
    service->Resume();
    service->ReportStatus(kServiceRunning);
    service->WaitFor(kInfinite);
    uint32_t code = GetLastError();
    {
      // The watchdog may report stopped at the same time; only one report goes out.
      std::lock_guard<std::recursive_mutex> g(service->statusLock_);
      service->Status.Win32ExitCode = code;
      service->ReportStatus(kServiceStopped);
    }
  } catch (const Exception& e) {
    ReportError(service, e);
  }
}

void ServiceCtrlHandler(TService* service, uint32_t control) {
  try {
    switch (control) {
      case kServiceControlStop:
        service->Stop();
        break;
      case kServiceControlPause:
        service->Pause();
        break;
      case kServiceControlContinue:
        service->Continue();
        break;
      case kServiceControlParamChange:
        // What the reload finds goes to the event log; the state stays as it was.
        service->ParamChange();
        break;
      default:
        service->SendStatus();
        break;
    }
  } catch (const Exception& e) {
    ReportError(service, e);
  }
}

}  // namespace kestran
