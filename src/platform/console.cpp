#include "platform/console.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

namespace kestran {
namespace {

// The write end is used by the signal handler, so it lives in plain integers.
int gPipe[2] = {-1, -1};

void OnSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  if (gPipe[1] >= 0) (void)!::write(gPipe[1], &b, 1);
  errno = saved;
}

struct ConsoleState {
  std::mutex lock;
  ConsoleCtrlRoutine routine;
  bool threadStarted = false;
};

ConsoleState& State() {
  // Never destroyed: the handler thread may still read it while the process ends.
  static ConsoleState* state = new ConsoleState;
  return *state;
}

void DefaultAction(int sig) {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::kill(::getpid(), sig);
}

void HandlerThread() {
  for (;;) {
    unsigned char b = 0;
    ssize_t n = ::read(gPipe[0], &b, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    int sig = b;
    uint32_t event = sig == SIGINT ? kCtrlCEvent : kCtrlBreakEvent;
    ConsoleCtrlRoutine routine;
    {
      std::lock_guard<std::mutex> g(State().lock);
      routine = State().routine;
    }
    bool handled = false;
    if (routine) {
      try {
        handled = routine(event);
      } catch (...) {
        handled = false;
      }
    }
    if (!handled) DefaultAction(sig);
  }
}

bool Install(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return ::sigaction(sig, &sa, nullptr) == 0;
}

}  // namespace

bool SetConsoleCtrlHandler(ConsoleCtrlRoutine routine, bool add) {
  ConsoleState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (!add) {
    st.routine = nullptr;
    return Install(SIGINT, SIG_DFL) && Install(SIGQUIT, SIG_DFL);
  }
  if (!st.threadStarted) {
    if (::pipe2(gPipe, O_CLOEXEC) != 0) return false;
    try {
      // The handler thread takes no console signals itself and lives until the
      // process ends.
      sigset_t set, old;
      sigemptyset(&set);
      sigaddset(&set, SIGINT);
      sigaddset(&set, SIGQUIT);
      pthread_sigmask(SIG_BLOCK, &set, &old);
      std::thread(HandlerThread).detach();
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
    } catch (...) {
      return false;
    }
    st.threadStarted = true;
  }
  st.routine = std::move(routine);
  if (!Install(SIGINT, OnSignal) || !Install(SIGQUIT, OnSignal)) return false;
  // A program started in the background of a shell, or by a supervisor, may come with
  // these signals ignored (the handlers above replace that) or blocked: this thread
  // takes them from now on, so that Ctrl-C and kill -INT stop the program whatever it
  // inherited.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGQUIT);
  return pthread_sigmask(SIG_UNBLOCK, &stop, nullptr) == 0;
}

}  // namespace kestran
