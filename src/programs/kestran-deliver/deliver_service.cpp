#include "programs/kestran-deliver/deliver_service.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "config/receiver_settings.h"
#include "config/settings_loader.h"
#include "deliver/delivery_state.h"
#include "deliver/queue_pair.h"
#include "deliver/repeat_filter.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/resolver.h"
#include "smtp/host_name.h"
#include "transport/conduit_errors.h"
#include "transport/winsock_intf.h"

namespace kestran {

namespace {

constexpr int kScanSeconds = 15;

// The receiver's own name for this machine, looked up as it looks it up (through the name
// servers it is given), so that both programs go by one name. Should the lookup fail, the
// machine's bare host name stands in, with a warning.
std::string HostName(const std::function<void(int, const std::string&)>& log) {
  TReceiverSettings resolver;
  LoadResolverSettings(resolver);
  std::string why;
  if (SetResolverConfig(resolver.DNSServers, resolver.DNSTimeout)) {
    try {
      std::string name = MachineHostName();
      if (!name.empty()) return name;
      why = "no name or address";
    } catch (const EConduitSocketError& e) {
      why = OneLineReply(e.Message());
    }
  } else {
    why = "invalid DNS server list '" + resolver.DNSServers + "' in 'DNSServers'";
  }
  char bare[260] = {};
  std::string name;
  if (GWinsockIntf().gethostname(bare, sizeof bare - 1) == 0) name = bare;
  if (name.empty()) name = "localhost";
  if (log) log(kLogWarning, "The host name could not be looked up (" + why + "); going by " + name);
  return name;
}

double WallClock() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

TDeliverContext MakeDeliverContext(const TDeliverSettings& s, const std::string& queueDir,
                                   std::function<void(int, const std::string&)> log) {
  TDeliverContext ctx;
  ctx.queueDir = queueDir;
  if (auto t = s.Transport()) ctx.transport = *t;
  ctx.bounce = s.BounceTransport();
  ctx.localDomains = s.LocalDomains;
  // Both programs go by the configured name when one is set.
  ctx.hostName = s.HostName.empty() ? HostName(log) : s.HostName;
  ctx.options.heloName = ctx.hostName;
  ctx.options.timeoutMs = static_cast<int>(std::min<uint32_t>(s.DeliverTimeout, 86400) * 1000);
  ctx.options.tlsVerify = s.DeliverTLSVerify;
  ctx.maxAgeSeconds = int64_t{s.DeliverMaxHours} * 3600;
  ctx.recipientLimit = s.DeliverRecipientLimit;
  // Warnings and errors that repeat on every pass reach the log once a minute.
  auto filter = std::make_shared<TRepeatFilter>([] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  });
  ctx.event = [log, filter](int kind, const std::string& text) {
    if (kind == kLogInformation) return log(kind, text);
    if (auto line = filter->Pass(text)) log(kind, *line);
  };
  ctx.mailLog = [log](const std::string& text) { log(kLogInformation, text); };
  ctx.now = WallClock;
  return ctx;
}

void TDeliverService::Log(int kind, const std::string& text) {
  std::lock_guard<std::mutex> g(logLock_);
  LogMessage(kind, text);
}

void TDeliverService::StartUp() {
  const TDeliverSettings s = LoadDeliverSettings();
  if (!s.Transport()) throw Exception(kNoTransportText);
  queueDir_ = NativeQueueDir(s);
  if (queueDir_.empty() || !EnsurePlainDir(queueDir_))
    throw Exception("The queue directory " + s.QueueDir + " cannot be used");
  if (!lock_.TryLock(queueDir_))
    throw Exception("Another kestran-deliver is at work on " + queueDir_);
  metricsFile_ = NativeMetricsFile(s);
  if (!s.DeliverMetricsFile.empty() && metricsFile_.empty())
    throw Exception("The metrics file " + s.DeliverMetricsFile + " cannot be used");
  metricsIntervalSeconds_ = static_cast<int>(s.MetricsInterval);
  TDeliverContext ctx = MakeDeliverContext(
      s, queueDir_, [this](int kind, const std::string& text) { Log(kind, text); });
  ctx.metrics = &metrics_;
  runner_ = std::make_unique<TQueueRunner>(std::move(ctx), s.DeliverConcurrency);
  runner_->RemoveTemporaries();
  runner_->Start();
  Log(kLogInformation, "Delivering the queue " + queueDir_ + " to " + s.Transport()->RelayName());
}

void TDeliverService::Run() {
  TFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch.Valid() &&
      ::inotify_add_watch(watch.Get(), queueDir_.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
    watch.Reset();
  if (!watch.Valid()) Log(kLogWarning, "The queue directory is not watched, only scanned");
  runner_->Scan(false);
  auto lastScan = std::chrono::steady_clock::now();
  auto lastSweep = lastScan;
  WriteMetrics();
  auto lastMetrics = lastScan;
  alignas(inotify_event) char buf[16384];
  while (!StopRequested()) {
    bool scan = false, force = false;
    if (watch.Valid()) {
      pollfd p{watch.Get(), POLLIN, 0};
      if (::poll(&p, 1, 500) > 0) {
        ssize_t n = ::read(watch.Get(), buf, sizeof buf);
        for (ssize_t off = 0; n > 0 && off < n;) {
          auto* e = reinterpret_cast<inotify_event*>(buf + off);
          off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
          if (e->mask & IN_Q_OVERFLOW) scan = true;
          if (e->len == 0) continue;
          const std::string name = e->name;
          if (name == kFlushRequestName) {
            scan = force = true;
            continue;
          }
          if (runner_->TakeDueRequest(name)) continue;
          const std::string stem = PairStem(name, ".RCP");
          if (!stem.empty()) runner_->Add(stem);
        }
      }
      if (WaitForStop(0)) break;
    } else if (WaitForStop(500)) {
      break;
    }
    if (std::chrono::steady_clock::now() - lastScan >= std::chrono::seconds(kScanSeconds))
      scan = true;
    if (scan) {
      runner_->Scan(force);
      lastScan = std::chrono::steady_clock::now();
    } else if (runner_->SweepWanted() &&
               std::chrono::steady_clock::now() - lastSweep >= std::chrono::seconds(1)) {
      // At most one flush a second for the state files of delivered pairs.
      runner_->Sweep();
      lastSweep = std::chrono::steady_clock::now();
    }
    if (std::chrono::steady_clock::now() - lastMetrics >=
        std::chrono::seconds(metricsIntervalSeconds_)) {
      WriteMetrics();
      lastMetrics = std::chrono::steady_clock::now();
    }
  }
  runner_->Stop();
  // What delivered pairs left for the sweep goes now, rather than at the next start.
  if (runner_->SweepWanted()) runner_->Sweep();
  WriteMetrics();
}

void TDeliverService::WriteMetrics() {
  if (metricsFile_.empty()) return;
  TDeliverQueueGauges gauges =
      CountDeliverQueue(queueDir_, static_cast<int64_t>(std::time(nullptr)));
  gauges.InProgress = runner_ ? runner_->InProgress() : 0;
  if (ReplaceFileContents(metricsFile_, FormatDeliverMetrics(metrics_, gauges, kDeliverVersion))) {
    metricsFailing_ = false;
    return;
  }
  const uint32_t error = LastFileError();
  if (metricsFailing_) return;
  metricsFailing_ = true;
  Log(kLogWarning, "The metrics file '" + metricsFile_ + "' could not be written (error " +
                       std::to_string(error) + ")");
}

void TDeliverService::ShowBanner() {
  WriteLineOut(kDeliverBanner);
}

void TDeliverService::ShutDown() {
  if (runner_) runner_->Stop();
}

void TDeliverService::PrepareInstall(TServiceConfig& config) {
  // A thread per delivery, each with room for a sendmail program and the process it hands
  // the message to, and the program's own threads.
  TDeliverSettings settings;  // the defaults, when the registry cannot be read
  try {
    settings = LoadDeliverSettings();
  } catch (const Exception&) {
  }
  config.Tasks = 4ull * settings.DeliverConcurrency + 32;
  try {
    std::string native = NativeQueueDir(settings);
    if (!native.empty()) config.WritablePaths.push_back(native);
    // The metrics file is replaced by a rename within its directory.
    const std::string metrics = NativeMetricsFile(settings);
    const size_t slash = metrics.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
      config.WritablePaths.push_back(metrics.substr(0, slash));
  } catch (const Exception&) {
  }
}

}  // namespace kestran
