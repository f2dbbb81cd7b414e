#include "platform/os_win32.h"
// (the Windows headers first)
#include <array>
#include <mutex>

#include "platform/service_manager.h"

// The system's service control manager and its dispatcher.

namespace kestran {
namespace {

// A manager or service handle, closed by its destructor.
struct TScHandle {
  SC_HANDLE h = nullptr;
  explicit TScHandle(SC_HANDLE handle) : h(handle) {}
  TScHandle(const TScHandle&) = delete;
  TScHandle& operator=(const TScHandle&) = delete;
  ~TScHandle() {
    if (h != nullptr) {
      DWORD saved = ::GetLastError();
      ::CloseServiceHandle(h);
      ::SetLastError(saved);
    }
  }
};

void ToPlatform(const SERVICE_STATUS& in, TServiceStatus& out) {
  out.ServiceType = in.dwServiceType;
  out.CurrentState = in.dwCurrentState;
  out.ControlsAccepted = in.dwControlsAccepted;
  out.Win32ExitCode = in.dwWin32ExitCode;
  out.ServiceSpecificExitCode = in.dwServiceSpecificExitCode;
  out.CheckPoint = in.dwCheckPoint;
  out.WaitHint = in.dwWaitHint;
}

SERVICE_STATUS ToSystem(const TServiceStatus& in) {
  SERVICE_STATUS s{};
  s.dwServiceType = in.ServiceType;
  s.dwCurrentState = in.CurrentState;
  s.dwControlsAccepted = in.ControlsAccepted;
  s.dwWin32ExitCode = in.Win32ExitCode;
  s.dwServiceSpecificExitCode = in.ServiceSpecificExitCode;
  s.dwCheckPoint = in.CheckPoint;
  s.dwWaitHint = in.WaitHint;
  return s;
}

SC_HANDLE OpenManager(DWORD access) {
  return ::OpenSCManagerA(nullptr, nullptr, access);
}

// ---- dispatcher ----

constexpr size_t kMaxServices = 8;

struct TEntry {
  std::string name;
  ServiceMainRoutine main;
  ServiceHandlerRoutine handler;
};

struct TDispatcher {
  std::mutex lock;
  bool running = false;
  std::array<TEntry, kMaxServices> entries;
  size_t count = 0;
};

TDispatcher& D() {
  // Never destroyed: the system's dispatcher threads may run while the process ends.
  static TDispatcher* d = new TDispatcher;
  return *d;
}

DWORD WINAPI OnControl(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID context) {
  size_t i = reinterpret_cast<uintptr_t>(context);
  ServiceHandlerRoutine handler;
  {
    std::lock_guard<std::mutex> g(D().lock);
    if (i < D().count) handler = D().entries[i].handler;
  }
  if (!handler) return ERROR_CALL_NOT_IMPLEMENTED;
  try {
    handler(control);
  } catch (...) {
  }
  return NO_ERROR;
}

// The system calls a plain function for each service's main routine: one per slot.
template <size_t I>
void WINAPI ServiceMainSlot(DWORD argc, LPSTR* argv) {
  ServiceMainRoutine main;
  {
    std::lock_guard<std::mutex> g(D().lock);
    main = D().entries[I].main;
  }
  try {
    if (main) main(argc, argv);
  } catch (...) {
  }
}

template <size_t... I>
constexpr std::array<LPSERVICE_MAIN_FUNCTIONA, sizeof...(I)> Slots(std::index_sequence<I...>) {
  return {&ServiceMainSlot<I>...};
}

constexpr auto kSlots = Slots(std::make_index_sequence<kMaxServices>());

}  // namespace

std::unique_ptr<TServiceManager> TServiceManager::Open(uint32_t access) {
  TScHandle m(OpenManager(access));
  if (m.h == nullptr) return nullptr;
  return std::make_unique<TServiceManager>();
}

std::unique_ptr<TServiceHandle> TServiceManager::CreateService(const TServiceConfig& c) {
  TScHandle m(OpenManager(SC_MANAGER_ALL_ACCESS));
  if (m.h == nullptr) return nullptr;
  std::string deps;
  for (const auto& d : c.Dependencies) {
    deps += d;
    deps.push_back('\0');
  }
  deps.push_back('\0');
  TScHandle s(::CreateServiceA(m.h, c.Name.c_str(), c.DisplayName.c_str(), c.DesiredAccess,
                               c.ServiceType, c.StartType, c.ErrorControl, c.BinaryPath.c_str(),
                               c.LoadOrderGroup.empty() ? nullptr : c.LoadOrderGroup.c_str(),
                               nullptr, deps.data(),
                               c.Account.empty() ? nullptr : c.Account.c_str(),
                               c.Password.empty() ? nullptr : c.Password.c_str()));
  if (s.h == nullptr) return nullptr;
  return std::make_unique<TServiceHandle>(c.Name);
}

std::unique_ptr<TServiceHandle> TServiceManager::OpenService(const std::string& name,
                                                             uint32_t access) {
  TScHandle m(OpenManager(SC_MANAGER_CONNECT));
  if (m.h == nullptr) return nullptr;
  TScHandle s(::OpenServiceA(m.h, name.c_str(), access));
  if (s.h == nullptr) return nullptr;
  return std::make_unique<TServiceHandle>(name);
}

bool TServiceHandle::Control(uint32_t control, TServiceStatus& status) {
  TScHandle m(OpenManager(SC_MANAGER_CONNECT));
  if (m.h == nullptr) return false;
  TScHandle s(::OpenServiceA(m.h, name_.c_str(), SERVICE_ALL_ACCESS));
  if (s.h == nullptr) return false;
  SERVICE_STATUS st{};
  BOOL ok = ::ControlService(s.h, control, &st);
  if (ok) ToPlatform(st, status);
  return ok != 0;
}

bool TServiceHandle::QueryStatus(TServiceStatus& status) {
  TScHandle m(OpenManager(SC_MANAGER_CONNECT));
  if (m.h == nullptr) return false;
  TScHandle s(::OpenServiceA(m.h, name_.c_str(), SERVICE_QUERY_STATUS));
  if (s.h == nullptr) return false;
  SERVICE_STATUS st{};
  if (!::QueryServiceStatus(s.h, &st)) return false;
  ToPlatform(st, status);
  return true;
}

bool TServiceHandle::Delete() {
  TScHandle m(OpenManager(SC_MANAGER_CONNECT));
  if (m.h == nullptr) return false;
  TScHandle s(::OpenServiceA(m.h, name_.c_str(), DELETE));
  if (s.h == nullptr) return false;
  return ::DeleteService(s.h) != 0;
}

std::string TServiceManager::UnitDirectory() {
  return std::string();
}

std::string TServiceManager::PackageUnitDirectory() {
  return std::string();
}

// The service's account is one of the system's; its files keep their rights.
bool TServiceManager::HandOverDataRoot(const TServiceConfig& /*config*/) {
  return true;
}

bool TServiceManager::SystemdRunning() {
  return false;
}

bool TServiceManager::UnitText(const TServiceConfig& /*config*/, const std::string& /*dataRoot*/,
                               std::string& text) {
  text.clear();
  ::SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

std::string NotifyMessage(const TServiceStatus& /*status*/) {
  return std::string();
}

bool StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& table) {
  if (table.empty() || table.size() > kMaxServices) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  TDispatcher& d = D();
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.running) {
      ::SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return false;
    }
    d.running = true;
    d.count = table.size();
    for (size_t i = 0; i < table.size(); ++i) {
      d.entries[i].name = table[i].Name;
      d.entries[i].main = table[i].Main;
      d.entries[i].handler = nullptr;
    }
  }
  std::vector<SERVICE_TABLE_ENTRYA> systemTable;
  for (size_t i = 0; i < table.size(); ++i)
    systemTable.push_back({d.entries[i].name.data(), kSlots[i]});
  systemTable.push_back({nullptr, nullptr});
  BOOL ok = ::StartServiceCtrlDispatcherA(systemTable.data());
  DWORD err = ::GetLastError();
  {
    std::lock_guard<std::mutex> g(d.lock);
    d.running = false;
  }
  ::SetLastError(err);
  return ok != 0;
}

uintptr_t RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerRoutine handler) {
  TDispatcher& d = D();
  size_t index = kMaxServices;
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (!d.running) {
      ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return 0;
    }
    for (size_t i = 0; i < d.count; ++i) {
      if (_stricmp(d.entries[i].name.c_str(), name.c_str()) == 0) {
        d.entries[i].handler = std::move(handler);
        index = i;
        break;
      }
    }
  }
  if (index == kMaxServices) {
    ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  SERVICE_STATUS_HANDLE h = ::RegisterServiceCtrlHandlerExA(
      name.c_str(), &OnControl, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(index)));
  return reinterpret_cast<uintptr_t>(h);
}

bool SetServiceStatus(uintptr_t statusHandle, const TServiceStatus& status) {
  SERVICE_STATUS s = ToSystem(status);
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &s) != 0;
}

}  // namespace kestran
