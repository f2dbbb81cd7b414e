// The dispatcher side of the service manager: sd_notify status reports and controls
// taken as signals.

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/error_text.h"
#include "platform/resolver.h"
#include "platform/service_manager.h"

namespace kestran {
namespace {

struct Entry {
  std::string name;
  ServiceMainRoutine main;
  ServiceHandlerRoutine handler;
  bool registered = false;
  bool reported = false;
  TServiceStatus status;
  bool mainReturned = false;
  bool pendingStop = false;
};

struct Dispatcher {
  std::mutex lock;
  bool running = false;
  std::vector<Entry> entries;
  int notifyFd = -1;
  struct sockaddr_un notifyAddr {};
  socklen_t notifyLen = 0;
  int wakeFd = -1;
};

Dispatcher& D() {
  // Never destroyed: service threads may report while the process ends.
  static Dispatcher* d = new Dispatcher;
  return *d;
}

void Wake(Dispatcher& d) {
  uint64_t one = 1;
  if (d.wakeFd >= 0) (void)!::write(d.wakeFd, &one, sizeof one);
}

const char* StateText(uint32_t state) {
  switch (state) {
    case kServiceStopped:
      return "Stopped";
    case kServiceStartPending:
      return "Starting";
    case kServiceStopPending:
      return "Stopping";
    case kServiceRunning:
      return "Running";
    case kServiceContinuePending:
      return "Continuing";
    case kServicePausePending:
      return "Pausing";
    case kServicePaused:
      return "Paused";
    default:
      return "Unknown state";
  }
}

bool ParseNotifyAddress(const char* env, struct sockaddr_un& addr, socklen_t& len) {
  std::string s = env;
  addr = {};
  addr.sun_family = AF_UNIX;
  if (s.size() < 2 || s.size() >= sizeof addr.sun_path) return false;
  if (s[0] == '@') {
    // Abstract namespace: a leading NUL, the name without terminator.
    std::memcpy(addr.sun_path + 1, s.data() + 1, s.size() - 1);
    len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + s.size());
    return true;
  }
  if (s[0] != '/') return false;
  std::memcpy(addr.sun_path, s.data(), s.size());
  len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + s.size() + 1);
  return true;
}

uint32_t ControlOfSignal(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      return kServiceControlStop;
    case SIGUSR1:
      return kServiceControlPause;
    case SIGUSR2:
      return kServiceControlContinue;
    default:
      return kServiceControlInterrogate;
  }
}

// Whether the service takes the control now. A stopped or stopping service takes
// nothing but interrogation; a stop that comes while the service starts is kept and
// handed over once the service accepts it.
bool Accepts(Entry& e, uint32_t control) {
  uint32_t state = e.reported ? e.status.CurrentState : kServiceStartPending;
  uint32_t accepted = e.reported ? e.status.ControlsAccepted : 0;
  if (control == kServiceControlParamChange)
    return e.registered && (state == kServiceRunning || state == kServicePaused) &&
           (accepted & kServiceAcceptParamChange);
  if (control == kServiceControlInterrogate || control > kServiceControlContinue)
    return e.registered;
  if (state == kServiceStopped || state == kServiceStopPending) return false;
  switch (control) {
    case kServiceControlStop:
      if (!e.registered || state == kServiceStartPending || !(accepted & kServiceAcceptStop)) {
        e.pendingStop = true;
        return false;
      }
      e.pendingStop = false;
      return true;
    default:
      return e.registered && state != kServiceStartPending &&
             (accepted & kServiceAcceptPauseContinue);
  }
}

// Hands a control to every service that takes it, in table order, on this thread.
void Deliver(Dispatcher& d, uint32_t control) {
  size_t n;
  {
    std::lock_guard<std::mutex> g(d.lock);
    n = d.entries.size();
  }
  for (size_t i = 0; i < n; ++i) {
    ServiceHandlerRoutine h;
    {
      std::lock_guard<std::mutex> g(d.lock);
      if (Accepts(d.entries[i], control)) h = d.entries[i].handler;
    }
    if (h) {
      try {
        h(control);
      } catch (...) {
      }
    }
  }
}

void DeliverPendingStops(Dispatcher& d) {
  size_t n;
  {
    std::lock_guard<std::mutex> g(d.lock);
    n = d.entries.size();
  }
  for (size_t i = 0; i < n; ++i) {
    ServiceHandlerRoutine h;
    {
      std::lock_guard<std::mutex> g(d.lock);
      Entry& e = d.entries[i];
      if (e.pendingStop && Accepts(e, kServiceControlStop)) h = e.handler;
    }
    if (h) {
      try {
        h(kServiceControlStop);
      } catch (...) {
      }
    }
  }
}

bool AllReturned(Dispatcher& d) {
  std::lock_guard<std::mutex> g(d.lock);
  for (const auto& e : d.entries)
    if (!e.mainReturned) return false;
  return true;
}

}  // namespace

std::string NotifyMessage(const TServiceStatus& s) {
  std::string m;
  switch (s.CurrentState) {
    case kServiceStartPending:
      m += std::string("STATUS=") + StateText(s.CurrentState) + "\n";
      m += "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{s.WaitHint} * 1000) + "\n";
      break;
    case kServiceRunning:
      m += "READY=1\n";
      break;
    case kServiceStopPending:
      m += "STOPPING=1\n";
      m += "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{s.WaitHint} * 1000) + "\n";
      break;
    default:
      m += std::string("STATUS=") + StateText(s.CurrentState) + "\n";
      break;
  }
  m += "X_KESTRAN_STATE=" + std::to_string(s.CurrentState) + "\n";
  m += "X_KESTRAN_CHECKPOINT=" + std::to_string(s.CheckPoint) + "\n";
  m += "X_KESTRAN_WAITHINT=" + std::to_string(s.WaitHint) + "\n";
  return m;
}

uintptr_t RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerRoutine handler) {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.running) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return 0;
  }
  for (size_t i = 0; i < d.entries.size(); ++i) {
    if (::strcasecmp(d.entries[i].name.c_str(), name.c_str()) == 0) {
      d.entries[i].handler = std::move(handler);
      d.entries[i].registered = true;
      return i + 1;
    }
  }
  SetLastError(kErrorServiceDoesNotExist);
  return 0;
}

bool SetServiceStatus(uintptr_t statusHandle, const TServiceStatus& status) {
  Dispatcher& d = D();
  std::string msg = NotifyMessage(status);
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.running || statusHandle == 0 || statusHandle > d.entries.size()) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  Entry& e = d.entries[statusHandle - 1];
  e.status = status;
  e.reported = true;
  bool ok = true;
  for (;;) {
    ssize_t n = ::sendto(d.notifyFd, msg.data(), msg.size(), MSG_NOSIGNAL,
                         reinterpret_cast<struct sockaddr*>(&d.notifyAddr), d.notifyLen);
    if (n >= 0) break;
    if (errno == EINTR) continue;
    SetLastError(ErrorFromErrno(errno));
    ok = false;
    break;
  }
  Wake(d);
  return ok;
}

bool StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& table) {
  if (table.empty()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (!env || !*env) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  Dispatcher& d = D();
  sigset_t set, oldMask;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, s);
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.running) {
      SetLastError(kErrorServiceAlreadyRunning);
      return false;
    }
    if (!ParseNotifyAddress(env, d.notifyAddr, d.notifyLen)) {
      SetLastError(kErrorFailedServiceControllerConnect);
      return false;
    }
    d.notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    d.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.notifyFd < 0 || d.wakeFd < 0) {
      SetLastError(ErrorFromErrno(errno));
      if (d.notifyFd >= 0) ::close(d.notifyFd);
      if (d.wakeFd >= 0) ::close(d.wakeFd);
      d.notifyFd = d.wakeFd = -1;
      return false;
    }
    d.entries.clear();
    for (const auto& t : table) {
      Entry e;
      e.name = t.Name;
      e.main = t.Main;
      d.entries.push_back(std::move(e));
    }
    d.running = true;
  }
  // The control signals are taken here only: every thread started from now on
  // inherits the blocked mask.
  pthread_sigmask(SIG_BLOCK, &set, &oldMask);
  int sigFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sigFd < 0) {
    SetLastError(ErrorFromErrno(errno));
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    std::lock_guard<std::mutex> g(d.lock);
    ::close(d.notifyFd);
    ::close(d.wakeFd);
    d.notifyFd = d.wakeFd = -1;
    d.running = false;
    d.entries.clear();
    return false;
  }

  std::vector<std::thread> threads;
  for (size_t i = 0; i < table.size(); ++i) {
    try {
      threads.emplace_back([&d, i] {
        ServiceMainRoutine main;
        std::string name;
        {
          std::lock_guard<std::mutex> g(d.lock);
          main = d.entries[i].main;
          name = d.entries[i].name;
        }
        char* argv[2] = {name.data(), nullptr};
        try {
          if (main) main(1, argv);
        } catch (...) {
        }
        {
          std::lock_guard<std::mutex> g(d.lock);
          d.entries[i].mainReturned = true;
        }
        Wake(d);
      });
    } catch (...) {
      std::lock_guard<std::mutex> g(d.lock);
      d.entries[i].mainReturned = true;
    }
  }

  while (!AllReturned(d)) {
    struct pollfd fds[2] = {{sigFd, POLLIN, 0}, {d.wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      uint64_t v;
      (void)!::read(d.wakeFd, &v, sizeof v);
    }
    if (fds[0].revents & POLLIN) {
      struct signalfd_siginfo si;
      while (::read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        uint32_t control = ControlOfSignal(static_cast<int>(si.ssi_signo));
        // The process is going to stop: name lookups give up now, also those of a start
        // still in progress, which holds the stop until it is over.
        if (control == kServiceControlStop) AbandonLookups();
        // SIGHUP: the settings are read again, then the status is reported as an
        // interrogation reports it.
        if (si.ssi_signo == SIGHUP) Deliver(d, kServiceControlParamChange);
        Deliver(d, control);
      }
    }
    DeliverPendingStops(d);
  }
  for (auto& t : threads) t.join();

  ::close(sigFd);
  std::lock_guard<std::mutex> g(d.lock);
  ::close(d.notifyFd);
  ::close(d.wakeFd);
  d.notifyFd = d.wakeFd = -1;
  d.running = false;
  d.entries.clear();
  return true;
}

}  // namespace kestran
