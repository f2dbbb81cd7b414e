#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/error_text.h"
#include "platform/program_path.h"
#include "service/servroot.h"

namespace kestran {
namespace {

std::vector<std::string> DependencyNames(const char* buffer, size_t size) {
  std::vector<std::string> names;
  size_t i = 0;
  while (i < size && buffer[i] != 0) {
    std::string name;
    while (i < size && buffer[i] != 0) name += buffer[i++];
    names.push_back(name);
    ++i;
  }
  return names;
}

// What the manager did beside its result, one line each.
void WriteNotes(const std::vector<std::string>& notes) {
  for (const auto& n : notes) WriteLineOut(n);
}

}  // namespace

std::string TService::LastErrorText() const {
  uint32_t code = GetLastError();
  std::string text = SystemErrorText(code);
  text.resize(text.size() >= 2 ? text.size() - 2 : 0);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", code);
  return text + " (0x" + hex + ")";
}

void TService::Install() {
  std::string path = ProgramPath();
  if (path.empty()) {
    WriteLineOut("Unable to install " + DisplayName + " - " + LastErrorText());
    return;
  }
  auto manager = TServiceManager::Open(kScManagerAllAccess);
  if (!manager) {
    WriteLineOut("OpenSCManager failed - " + LastErrorText());
    return;
  }
  TServiceConfig config;
  config.Name = Name();
  config.DisplayName = DisplayName;
  config.DesiredAccess = kServiceAllAccess;
  config.ServiceType = ServiceType();
  config.StartType = StartType;
  config.ErrorControl = kServiceErrorNormal;
  config.BinaryPath = path;
  config.Dependencies = DependencyNames(Dependencies, sizeof Dependencies);
  config.Account = Account;
  config.Password = Password;
  PrepareInstall(config);
  auto service = manager->CreateService(config);
  if (service) {
    WriteLineOut(DisplayName + " installed.");
    WriteNotes(manager->Notes);
    service.reset();
    if (!EventLog.RegisterSource(path))
      WriteLineOut("Warning: could not register with event logging");
    // Last, so that the files registering made belong to the account too.
    bool handed = manager->HandOverDataRoot(config);
    WriteNotes(manager->Notes);
    if (!handed) WriteLineOut("Warning: could not hand the data root over - " + LastErrorText());
  } else {
    WriteLineOut("CreateService failed - " + LastErrorText());
    WriteNotes(manager->Notes);
  }
}

void TService::Remove() {
  auto manager = TServiceManager::Open(kScManagerAllAccess);
  if (!manager) {
    WriteLineOut("OpenSCManager failed - " + LastErrorText() + ".");
    return;
  }
  auto service = manager->OpenService(Name(), kServiceAllAccess);
  if (!service) {
    WriteLineOut("OpenService failed - " + LastErrorText() + ".");
    WriteNotes(manager->Notes);
    return;
  }
  TServiceStatus status;
  if (service->Control(kServiceControlStop, status)) {
    {
      std::lock_guard<std::recursive_mutex> g(statusLock_);
      Status = status;
    }
    WriteOut("Stopping " + DisplayName);
    while (service->QueryStatus(status)) {
      {
        std::lock_guard<std::recursive_mutex> g(statusLock_);
        Status = status;
      }
      if (status.CurrentState != kServiceStopPending) break;
      WriteOut(".");
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (CurrentState() == kServiceStopped)
      WriteLineOut("\r\n" + DisplayName + " stopped.");
    else
      WriteLineOut("\r\n" + DisplayName + " failed to stop.");
  }
  if (service->Delete()) {
    WriteLineOut(DisplayName + " removed.");
    WriteNotes(service->Notes);
    if (!EventLog.UnregisterSource())
      WriteLineOut("Warning: could not delete registry key for event logging");
  } else {
    WriteLineOut("DeleteService failed - " + LastErrorText() + ".");
  }
}

}  // namespace kestran
