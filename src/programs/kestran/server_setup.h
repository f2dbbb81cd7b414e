#pragma once
// The set-up of the receiver: builds the SMTP server from the settings, installs its
// three event handlers (message numbers, inbound log, POP-before-SMTP), makes sure the
// queue directory can be written and only then activates the listener.

#include <cstdint>
#include <memory>
#include <string>

#include "config/inbound_log.h"
#include "config/pop_auth.h"
#include "platform/sync.h"
#include "smtp/smtp_server.h"

namespace kestran {

class TSMTPService;

class TServerSetup {
 public:
  TSMTPService* Service = nullptr;
  std::unique_ptr<TConduitSMTPServer> SmtpServer;
  std::unique_ptr<TCriticalSection> LogLock;
  std::unique_ptr<TCriticalSection> PopLogLock;

  // Creates the locks and the settings lists, then Configure.
  bool Init(TSMTPService* service);
  // Builds and starts the server; returns whether the listener is active.
  bool Configure();
  // Frees the server (its sessions are ended), the lists and the locks.
  void Done();
  void FreeServer();

  // The certificate store for STARTTLS when a certificate is configured.
  void ConfigureTls(const std::string& certSetting, const std::string& keySetting);
  // A warning in the event log (a console line in console mode).
  void LogEvent(const std::string& text);

  void HandleNextID(int32_t& id, bool& handled);
  void HandleLogFileEvent(const std::string& logFileEntry);
  void HandlePopAuth(const std::string& ipAddy, bool& valid, bool& handled);
};

// The process-wide set-up. It lives until the process ends and is never destroyed, so
// that no exit path tears the server down under running connection threads.
TServerSetup& ServerSetup();

}  // namespace kestran
