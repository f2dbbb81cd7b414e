#pragma once
// The service control manager. On this system the manager is systemd:
// - installing writes the unit "<name>.service" into $KESTRAN_UNIT_DIR (default
//   /etc/systemd/system), linked into multi-user.target.wants for automatic start;
//   the unit runs the program as the service's account (the system account
//   "kestran" unless Account names another), confined to what it needs; run as root,
//   installing also makes that account and hands the data root to it;
// - controlling and querying an installed service go through systemctl while systemd is
//   the running init;
// - the dispatcher makes the process a service when the manager started it
//   (NOTIFY_SOCKET is set): status reports become sd_notify datagrams, and controls
//   arrive as signals taken by the dispatcher's thread: SIGTERM and SIGINT stop,
//   SIGUSR1 pause, SIGUSR2 continue, SIGHUP interrogate.
// Failures give false or null and set the thread's last error (GetLastError) to the
// Windows error code.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestran {

// Service states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

// Controls.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
// The service's settings changed: it reads them again (Windows' SERVICE_CONTROL_PARAMCHANGE).
constexpr uint32_t kServiceControlParamChange = 6;

// Controls accepted.
constexpr uint32_t kServiceAcceptStop = 0x1;
constexpr uint32_t kServiceAcceptPauseContinue = 0x2;
constexpr uint32_t kServiceAcceptParamChange = 0x8;

// Service types.
constexpr uint32_t kServiceKernelDriver = 0x1;
constexpr uint32_t kServiceFileSystemDriver = 0x2;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceWin32ShareProcess = 0x20;
constexpr uint32_t kServiceInteractiveProcess = 0x100;

// Start types.
constexpr uint32_t kServiceBootStart = 0;
constexpr uint32_t kServiceSystemStart = 1;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;

constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Error codes of this interface.
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrorServiceExists = 1073;

// The status record of a service.
struct TServiceStatus {
  uint32_t ServiceType = 0;
  uint32_t CurrentState = 0;
  uint32_t ControlsAccepted = 0;
  uint32_t Win32ExitCode = 0;
  uint32_t ServiceSpecificExitCode = 0;
  uint32_t CheckPoint = 0;
  uint32_t WaitHint = 0;
};

// What installing a service is given.
struct TServiceConfig {
  std::string Name;
  std::string DisplayName;
  uint32_t DesiredAccess = kServiceAllAccess;
  uint32_t ServiceType = kServiceWin32OwnProcess;
  uint32_t StartType = kServiceAutoStart;
  uint32_t ErrorControl = kServiceErrorNormal;
  std::string BinaryPath;
  std::string LoadOrderGroup;
  std::vector<std::string> Dependencies;
  std::string Account;   // empty: the system's own account
  std::string Password;  // not used by this manager
  // Directories the service writes besides its data root (native paths; those inside
  // the data root add nothing).
  std::vector<std::string> WritablePaths;
  // Files the service may hold open at once.
  uint32_t OpenFiles = 65536;
  // Threads (and processes) the service may run at once: 0 sets no limit of its own (the
  // system's default applies), kNoTaskLimit lifts the limit.
  static constexpr uint64_t kNoTaskLimit = UINT64_MAX;
  uint64_t Tasks = 0;
  // The service reads its settings again on the parameter-change control: the unit's
  // reload sends it (SIGHUP).
  bool Reloadable = false;
};

// An open service; closed by its destructor.
class TServiceHandle {
 public:
  explicit TServiceHandle(std::string name) : name_(std::move(name)) {}
  const std::string& Name() const { return name_; }
  // Sends a control; status receives the service's status afterwards.
  bool Control(uint32_t control, TServiceStatus& status);
  bool QueryStatus(TServiceStatus& status);
  // Removes the service's registration (the unit file and its link).
  bool Delete();
  // Lines for the user about what the last Delete did beside its result.
  std::vector<std::string> Notes;

 private:
  std::string name_;
};

// The open manager; closed by its destructor.
class TServiceManager {
 public:
  // Lines for the user about what the last CreateService, OpenService or Delete did
  // beside its result: an account made, a data root handed over, a unit of the
  // system's package that stays in place.
  std::vector<std::string> Notes;

  // Opens the manager with the given access (null on failure).
  static std::unique_ptr<TServiceManager> Open(uint32_t access);
  std::unique_ptr<TServiceHandle> CreateService(const TServiceConfig& config);
  std::unique_ptr<TServiceHandle> OpenService(const std::string& name, uint32_t access);
  // Run as root after installing: hands the data root with everything in it to the
  // service's account. Otherwise, and on systems without service accounts: nothing.
  bool HandOverDataRoot(const TServiceConfig& config);

  // $KESTRAN_UNIT_DIR or /etc/systemd/system.
  static std::string UnitDirectory();
  // Where the system's package installs its unit: $KESTRAN_PACKAGE_UNIT_DIR or
  // /lib/systemd/system. A unit there is left alone; one in UnitDirectory() takes its
  // place while it exists.
  static std::string PackageUnitDirectory();
  // Whether systemd is the running init.
  static bool SystemdRunning();
  // The unit file's text for a configuration (dataRoot goes into KESTRAN_ROOT, and is
  // writable with WritablePaths), running as the account and confined to what the
  // receiver needs; false (with the last error set) when a field cannot be written
  // into a unit.
  static bool UnitText(const TServiceConfig& config, const std::string& dataRoot,
                       std::string& text);
};

// The dispatcher.
using ServiceMainRoutine = std::function<void(uint32_t argc, char** argv)>;
using ServiceHandlerRoutine = std::function<void(uint32_t control)>;

struct TServiceTableEntry {
  std::string Name;
  ServiceMainRoutine Main;
};

// Connects the process to the manager: runs each entry's main routine on a thread of
// its own and hands the controls to the registered handlers on the calling thread.
// Returns true when every main routine has returned (a service reports stopped as the
// last thing it does); false at once when the process is not a service (1063).
bool StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& table);
// Registers the control handler of a service of the running dispatcher; 0 on failure.
uintptr_t RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerRoutine handler);
// Reports a status to the manager.
bool SetServiceStatus(uintptr_t statusHandle, const TServiceStatus& status);
// The sd_notify datagram that reports status.
std::string NotifyMessage(const TServiceStatus& status);

}  // namespace kestran
