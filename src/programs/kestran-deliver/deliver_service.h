#pragma once
// kestran-deliver as a service (or, with -DEBUG, in a console): at the start it reads the
// settings, takes the queue's lock and starts the workers; then it watches the queue
// directory and scans it every few seconds until the stop.

#include <memory>
#include <mutex>

#include "deliver/deliver_metrics.h"
#include "deliver/deliver_settings.h"
#include "deliver/queue_lock.h"
#include "deliver/queue_runner.h"
#include "service/servroot.h"

namespace kestran {

inline constexpr const char* kDeliverServiceName = "kestran-deliver";
inline constexpr const char* kDeliverDisplayName = "DRX KESTRAN Delivery Service";
inline constexpr const char* kDeliverVersion = "0.45";
inline constexpr const char* kDeliverBanner = "KESTRAN Delivery Agent Version 0.45";

// The context of the deliveries from the settings; queueDir is the native queue
// directory. log receives event-log lines (kind, text) and delivery-log lines (kind
// kLogInformation).
TDeliverContext MakeDeliverContext(const TDeliverSettings& s, const std::string& queueDir,
                                   std::function<void(int, const std::string&)> log);

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
