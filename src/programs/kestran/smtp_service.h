#pragma once
// The program's one service: starts the receiver through the set-up, then idles until
// the stop.

#include <atomic>

#include "service/servroot.h"

namespace kestran {

inline constexpr const char* kServiceName = "KESTRAN";
inline constexpr const char* kServiceDisplayName = "DRX KESTRAN Service";
inline constexpr const char* kVersion = "0.45";
inline constexpr const char* kBanner = "KESTRAN SMTP Receiver Version 0.45";

class TSMTPService : public TService {
 public:
  using TService::TService;
  ~TSMTPService() override { StopAndWait(); }

  std::atomic<bool> Finished{false};
  // The start raised an error (the port could not be bound, a malformed setting): the
  // process then ends with a non-zero status, so that a service manager shows it failed.
  std::atomic<bool> StartFailed{false};

  void StartUp() override;
  void Run() override;
  void ShowBanner() override;
  void ShutDown() override;
  // -CHECK: the configuration as the start would find it.
  int Check() override;
  void ShowUsage() override;
  // The reload: the settings are read again for new sessions.
  void ParamChange() override;
  // The queue, inbound-log and POP3-log directories the registry names, and room in
  // the open-file limit for MaxConnections connections.
  void PrepareInstall(TServiceConfig& config) override;
};

}  // namespace kestran
