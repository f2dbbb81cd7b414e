#pragma once
// The service runtime: the base class of a service with its thread, status reports,
// stop sequence and watchdog, console mode, installation and removal, and the run
// routine that acts on the command line.
//
// A program's main is:
//   kestran::MakeService<TMyService>("NAME", "Display name");
//   kestran::RunServices(argc, argv);
// A descendant overrides StartUp (prepares Run; may raise), Run (the work: it returns
// once StopEvent is signalled or StopRequested() is set, and calls PassGate() or
// WaitForStop() between its waits so that a pause can hold it), ShowBanner (one line
// on standard output) and ShutDown (its own tear-down; the runtime never calls it).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "platform/service_manager.h"
#include "platform/thread.h"
#include "service/ntobj.h"

namespace kestran {

KESTRAN_ERROR_CLASS(EService, Exception);

class TService;
class TWatchDog;
void ServiceMain(TService* service, uint32_t argc, char** argv);

// The process-wide list of services, in creation order. Every service adds itself when
// constructed and leaves when destroyed; services handed over with Adopt (MakeService)
// are destroyed by the list, in list order, when the process ends.
class TServiceList {
 public:
  TServiceList();
  ~TServiceList();
  TServiceList(const TServiceList&) = delete;
  TServiceList& operator=(const TServiceList&) = delete;

  std::vector<TService*> Items() const;
  size_t Count() const;
  void Adopt(std::unique_ptr<TService> service);

 private:
  friend class TService;
  void Add(TService* service);
  void Remove(TService* service);
  mutable std::mutex lock_;
  std::vector<TService*> items_;
  std::vector<std::unique_ptr<TService>> owned_;
};

TServiceList& ServiceList();

// Constructs a service owned by ServiceList.
template <class T, class... Args>
T& MakeService(Args&&... args) {
  auto service = std::make_unique<T>(std::forward<Args>(args)...);
  T& ref = *service;
  ServiceList().Adopt(std::move(service));
  return ref;
}

class TService : public TThread {
 public:
  // The thread is created suspended; nothing runs until ServiceMain or console mode.
  TService(const std::string& name, const std::string& displayName);
  ~TService() override;

  // Double-NUL-terminated list of the services this one depends on.
  char Dependencies[104] = {};
  uint32_t StartType = kServiceAutoStart;
  // The status record; guard reads from other threads with StatusSnapshot().
  TServiceStatus Status;
  uintptr_t StatusHandle = 0;
  std::string Account;  // empty: the system's own account
  bool AcceptPauseContinue = true;
  // The service takes the parameter-change control (ParamChange).
  bool AcceptParamChange = false;
  bool UseWatchDog = true;
  std::atomic<bool> ConsoleMode{false};
  std::string DisplayName;
  bool Interactive = false;
  std::string Password;
  uint8_t Kind = 0;  // 0 Win32 service, 1 kernel driver, 2 file-system driver
  uint32_t WaitHint = 1000;
  // Bound entry points: the platform's service-main and control-handler calls routed
  // to ServiceMain and ServiceCtrlHandler with this service.
  ServiceMainRoutine ServiceMainEntry;
  ServiceHandlerRoutine CtrlHandlerEntry;
  TEvent StopEvent;
  TEventLog EventLog;

  const std::string& Name() const { return name_; }
  // Also sets the event log's source name.
  void SetName(const std::string& name);
  uint32_t CurrentState() const;
  TServiceStatus StatusSnapshot() const;

  // The work, on the service's own thread. Base: waits for the stop.
  virtual void Run();
  // Called before the thread is first resumed. Base: nothing.
  virtual void StartUp() {}
  // The program's identification on standard output. Base: nothing.
  virtual void ShowBanner() {}
  // Never called by the runtime. Base: nothing.
  virtual void ShutDown() {}
  // Fills Status for the first report.
  virtual void InitStatus();
  // -CHECK: reads the service's configuration, prints what it finds and changes nothing;
  // returns the exit status, 0 when a start would succeed. Base: nothing to check, 0.
  virtual int Check() { return 0; }
  // The switches of the program, one line each, after the error an unknown switch gives
  // in a console. Base: nothing.
  virtual void ShowUsage() {}
  // Re-reads the settings while running (the parameter-change control). Base: nothing.
  virtual void ParamChange() {}
  // Adds what the service's own settings ask of its installation (directories it
  // writes, files it holds open) before Install hands it to the manager. Base: nothing.
  virtual void PrepareInstall(TServiceConfig& /*config*/) {}

  void ReportStatus(uint32_t state);
  void SendStatus();
  uintptr_t GetStatusHandle();
  uint32_t ServiceType() const;

  void Stop();
  void Pause();
  void Continue();

  // A console line in console mode, else an event-log entry of the kind.
  void LogMessage(int kind, const std::string& text);

  void Install();
  void Remove();
  // The text of the thread's last error as "<text> (0x<CODE>)".
  std::string LastErrorText() const;

 protected:
  void Execute() override { Run(); }
  // Signals StopEvent, requests the stop and waits until the thread has ended. A
  // descendant whose Run may still be at work calls it first in its destructor.
  void StopAndWait();
  // Passes the pause gate, then waits at most timeoutMs for the stop; true once the
  // stop has been requested.
  bool WaitForStop(uint32_t timeoutMs);

 private:
  friend class TWatchDog;
  friend void ServiceMain(TService* service, uint32_t argc, char** argv);
  mutable std::recursive_mutex statusLock_;
  std::unique_ptr<TWatchDog> watchDog_;
  std::string name_;
};

// Watches a service whose thread did not end in time after a stop request. When the
// thread still runs after five more waits of WaitHint, it writes the warning, reports
// stopped and ends the process (exit status: the Win32 exit code of that report), so
// that no service code runs on after the stopped report.
class TWatchDog : public TThread {
 public:
  explicit TWatchDog(TService* service);
  ~TWatchDog() override { EndAndWait(); }
  TService* Service;

 protected:
  void Execute() override;
};

// The shared entry points, bound to each service by its constructor.
void ServiceMain(TService* service, uint32_t argc, char** argv);
void ServiceCtrlHandler(TService* service, uint32_t control);

// Console mode: starts every service and waits until all their threads have ended.
void RunConsole();
// Ctrl-C and Ctrl-Break stop every service; other events are not handled.
bool ConsoleCtrlHandler(uint32_t event);

// Acts on the first argument (-INSTALL, -REMOVE, -DEBUG, -VERSION, any case, "/" for
// "-"; anything else starts the dispatcher) and returns the exit status. An error of
// the base class that nothing else catches is written as "<class>: <message>" and
// gives 1.
int RunServicesMain(int argc, char** argv);
// RunServicesMain, then ends the process with its status.
[[noreturn]] void RunServices(int argc, char** argv);

// Writes text (and a line end, CR LF) to standard output, flushed at once.
void WriteOut(const std::string& text);
void WriteLineOut(const std::string& text);

}  // namespace kestran
