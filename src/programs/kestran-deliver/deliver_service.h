#pragma once
// kestran-deliver as a service (or, with -DEBUG, in a console): at the start it reads the
// settings, takes the queue's lock and starts the workers; then it watches the queue
// directory and scans it every few seconds until the stop.

#include <memory>
#include <mutex>

#include "programs/kestran-deliver/deliver_metrics.h"
#include "programs/kestran-deliver/deliver_settings.h"
#include "programs/kestran-deliver/queue_lock.h"
#include "programs/kestran-deliver/queue_runner.h"
#include "service/servroot.h"

namespace kestran {

inline constexpr const char* kDeliverServiceName = "kestran-deliver";
inline constexpr const char* kDeliverDisplayName = "DRX KESTRAN Delivery Service";
inline constexpr const char* kDeliverVersion = "0.45";
inline constexpr const char* kDeliverBanner = "KESTRAN Delivery Agent Version 0.45";

// The one line with which the program refuses to start without a transport.
inline constexpr const char* kNoTransportText =
    "kestran-deliver: DeliverTo is empty, no transport to deliver to "
    "(set DeliverTo under HKLM\\SOFTWARE\\Brackenwold\\KESTRAN)";

// The context of the deliveries from the settings; queueDir is the native queue
// directory. log receives event-log lines (kind, text) and delivery-log lines (kind
// kLogInformation).
TDeliverContext MakeDeliverContext(const TDeliverSettings& s, const std::string& queueDir,
                                   std::function<void(int, const std::string&)> log);

// The native queue directory of the settings, ending in "/"; "" when it cannot be used.
std::string NativeQueueDir(const TDeliverSettings& s);
// The native path of DeliverMetricsFile; "" when none is set or it cannot be mapped.
std::string NativeMetricsFile(const TDeliverSettings& s);

class TDeliverService : public TService {
 public:
  using TService::TService;
  ~TDeliverService() override { StopAndWait(); }

  void StartUp() override;
  void Run() override;
  void ShowBanner() override;
  void ShutDown() override;
  void PrepareInstall(TServiceConfig& config) override;

 private:
  void Log(int kind, const std::string& text);
  // Rewrites the metrics file (when one is set); a failure is reported once until a
  // rewrite succeeds again.
  void WriteMetrics();

  std::mutex logLock_;
  TQueueLock lock_;
  std::string queueDir_;
  std::unique_ptr<TQueueRunner> runner_;
  TDeliverMetrics metrics_;
  std::string metricsFile_;
  int metricsIntervalSeconds_ = 15;
  bool metricsFailing_ = false;
};

}  // namespace kestran
