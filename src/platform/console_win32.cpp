#include "platform/os_win32.h"
// (the Windows headers first)
#include <mutex>

#include "platform/console.h"

namespace kestran {
namespace {

struct ConsoleState {
  std::mutex lock;
  std::mutex serial;  // one event after the other
  ConsoleCtrlRoutine routine;
  bool installed = false;
};

ConsoleState& State() {
  // Never destroyed: the system's handler thread may still read it while the process ends.
  static ConsoleState* state = new ConsoleState;
  return *state;
}

// Runs on the thread that the system creates for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  ConsoleState& st = State();
  std::lock_guard<std::mutex> order(st.serial);
  ConsoleCtrlRoutine routine;
  {
    std::lock_guard<std::mutex> g(st.lock);
    routine = st.routine;
  }
  if (!routine) return FALSE;
  try {
    return routine(event) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

}  // namespace

bool SetConsoleCtrlHandler(ConsoleCtrlRoutine routine, bool add) {
  ConsoleState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (!add) {
    st.routine = nullptr;
    if (st.installed && !::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE)) return false;
    st.installed = false;
    return true;
  }
  if (!st.installed) {
    if (!::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE)) return false;
    st.installed = true;
  }
  st.routine = std::move(routine);
  return true;
}

}  // namespace kestran
