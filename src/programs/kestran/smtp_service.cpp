#include "programs/kestran/smtp_service.h"

#include <algorithm>

#include "config/registry_access.h"
#include "config/settings_loader.h"
#include "platform/paths.h"
#include "platform/resolver.h"
#include "programs/kestran/config_check.h"
#include "programs/kestran/server_setup.h"

namespace kestran {
namespace {

// Threads the service runs beside one per connection: up to 128 parked session threads,
// the listener, flushes, name lookups and the watchdog, with room to spare.
constexpr uint64_t kServiceOwnTasks = 256;

}  // namespace

void TSMTPService::StartUp() {
  AcceptParamChange = true;
  bool ok = false;
  try {
    ok = ServerSetup().Init(this);
  } catch (const Exception&) {
    // A stop during the start abandons the start's own name lookup; the failure that
    // follows is the stop, not an error to report.
    if (!LookupsAbandoned()) {
      StartFailed = true;
      throw;
    }
  } catch (...) {
    StartFailed = true;
    throw;
  }
  // A failed set-up lets the thread return at once: the service passes from running to
  // stopped.
  if (!ok) RequestStop();
  Finished = false;
}

void TSMTPService::Run() {
  while (!Finished && !StopRequested()) {
    ServerSetup().Tick();
    if (WaitForStop(500)) Finished = true;
  }
}

void TSMTPService::ShowBanner() {
  WriteLineOut(kBanner);
}

void TSMTPService::PrepareInstall(TServiceConfig& config) {
  // A registry that cannot be read yet installs with the defaults; the start reports it.
  TReceiverSettings s;
  uint32_t maxConnections = 10000;
  try {
    LoadHostSettings(s);
    LoadOwnSettings(s);
    NormalizeDirs(s);
    TRegistry reg(kKeyRead);
    if (reg.OpenKey(kOwnKey, false) && reg.ValueExists("MaxConnections"))
      maxConnections = static_cast<uint32_t>(reg.ReadInteger("MaxConnections"));
  } catch (const Exception&) {
  }
  for (const auto* dir : {&s.MailQueueDir, &s.InlogDir, &s.Pop3logDir}) {
    std::string native;
    if (!dir->empty() && TranslatePath(*dir, native)) config.WritablePaths.push_back(native);
  }
  // The metrics file is replaced by a rename within its directory.
  std::string metrics;
  if (!TrimBlanks(s.MetricsFile).empty() && TranslatePath(TrimBlanks(s.MetricsFile), metrics)) {
    const size_t slash = metrics.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0)
      config.WritablePaths.push_back(metrics.substr(0, slash));
  }
  // Every connection holds a socket, and a message being stored two files; 0 sets no
  // cap on connections.
  uint64_t files = maxConnections == 0 ? 524288 : uint64_t{maxConnections} * 3 + 1024;
  config.OpenFiles = static_cast<uint32_t>(std::clamp<uint64_t>(files, 65536, 1048576));
  // A thread per connection, and room for the sessions' parked threads (at most 128) and
  // the service's own (listener, flushes, lookups, watchdog).
  // systemctl reload: SIGHUP, the parameter-change control.
  config.Reloadable = true;
  config.Tasks = maxConnections == 0 ? TServiceConfig::kNoTaskLimit
                                     : uint64_t{maxConnections} + kServiceOwnTasks;
}

int TSMTPService::Check() {
  return CheckReceiverConfiguration();
}

void TSMTPService::ShowUsage() {
  WriteLineOut("Usage: kestran [switch]");
  WriteLineOut(
      "  -INSTALL  install the service (the systemd unit KESTRAN.service) and its account");
  WriteLineOut("  -REMOVE   stop the service and remove it");
  WriteLineOut("  -DEBUG    run in this console until Ctrl-C or Ctrl-Break");
  WriteLineOut("  -VERSION  print the version");
  WriteLineOut("  -CHECK    check the configuration: every setting with its source, every file");
  WriteLineOut("            and directory it names, every warning the start would give; exit");
  WriteLineOut("            status 1 when the start would fail. Changes nothing");
  WriteLineOut("  (none)    run as the service, started by the service manager");
  WriteLineOut("A switch may be written in any letter case, and with / in place of -.");
}

void TSMTPService::ParamChange() {
  ServerSetup().Reload();
}

void TSMTPService::ShutDown() {
  ServerSetup().Done();
}

}  // namespace kestran
