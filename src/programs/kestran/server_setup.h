#pragma once
// The set-up of the receiver: builds the SMTP server from the settings, installs its
// three event handlers (message numbers, inbound log, POP-before-SMTP), makes sure the
// queue directory can be written and only then activates the listener.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "config/inbound_log.h"
#include "config/pop_auth.h"
#include "config/receiver_settings.h"
#include "platform/sync.h"
#include "programs/kestran/plugin_list_watch.h"
#include "smtp/smtp_server.h"

namespace kestran {

class TSMTPService;

// A fault that each message may meet again, reported at most once a minute: Due gives
// the text to report now, with the number of messages refused since the report before,
// or "" within the minute.
class TMinuteReport {
 public:
  std::string Due(const std::string& text);

 private:
  std::mutex lock_;
  bool reported_ = false;
  std::chrono::steady_clock::time_point reportedAt_;
  unsigned long refusedSince_ = 0;
};

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
  void ConfigureTls(const std::string& certSetting, const std::string& keySetting,
                    const std::string& thumbprintSetting, uint32_t maxHandshakes);
  // The rate limits, the refused-recipient limit and the greeting pause.
  void ConfigureRateLimits(const TReceiverSettings& s);
  // What sessions decide by (lists, switches, limits, texts): for new sessions.
  void ApplyPolicy(const TReceiverSettings& s);
  // Reads the registry again (the reload): the lists, domains, block lists, limits and
  // texts apply to new sessions; settings that need a start are named in the event log
  // and stay as they were. A malformed value leaves everything as it was.
  void Reload();
  // Back-pressure, the block lists' names in the counters, and the metrics file.
  void ConfigureMetrics(const TReceiverSettings& s);
  // A warning in the event log (a console line in console mode).
  void LogEvent(const std::string& text);

  void HandleNextID(int32_t& id, bool& handled);
  // A queue write failed: the file and the error go to the event log, once a minute.
  void HandleQueueWriteFailed(const std::string& file, uint32_t error);
  void HandleLogFileEvent(const std::string& logFileEntry);
  void HandlePopAuth(const std::string& ipAddy, bool& valid, bool& handled);

  // Called by the service about twice a second: rewrites the metrics file when it is
  // due, and looks at the queue's room while mail is refused for want of it.
  void Tick();
  // Writes the metrics file now (when one is configured).
  void WriteMetrics();

  // Removes the receiver's own temporary files from the queue directory and moves message
  // files left without a recipient file aside, each move logged. Before the listener
  // is active.
  void CleanUpQueue(const std::string& queueDir);

 private:
  // What the inbound log and POP-before-SMTP handlers go by, replaced whole at a reload.
  struct THandlerSettings {
    bool MailInlogEnabled = false;
    std::string InlogDir;
    std::string Pop3logDir;
    int32_t DelayMinutes = 30;
  };
  void SetHandlerSettings(const TReceiverSettings& s);
  std::shared_ptr<const THandlerSettings> HandlerSettings() const;
  mutable std::mutex handlerLock_;
  std::shared_ptr<const THandlerSettings> handlerSettings_;
  // The settings the server was started with.
  TReceiverSettings inForce_;

  static constexpr int64_t kNeverReported = std::numeric_limits<int64_t>::min();

  // A line for the event log (the console in console mode) of kind kLog*.
  void Report(int kind, const std::string& text);
  // A file fault met while sessions run, reported at most once a minute.
  void ReportFileFault(const std::string& text);

  std::atomic<int64_t> lastFileFault_{kNeverReported};

  std::unique_ptr<TPluginListWatch> pluginWatch_;  // with UsePlugin1List

  std::string metricsFile_;  // "" = no metrics file
  std::string metricsQueueDir_;
  int64_t metricsIntervalMs_ = 15000;
  int64_t nextMetricsMs_ = 0;

  // A failed draw goes to the event log at most once a minute, with the number of
  // messages refused since the report before.
  void ReportCounterFailure(const std::string& why);
  // Numbering starts again at 1 after the value `before` of LastMsgId.
  void ReportCounterWrapped(uint32_t before);

  TMinuteReport counterReport_;
  TMinuteReport queueWriteReport_;
};

// The process-wide set-up. It lives until the process ends and is never destroyed, so
// that no exit path tears the server down under running connection threads.
TServerSetup& ServerSetup();

}  // namespace kestran
