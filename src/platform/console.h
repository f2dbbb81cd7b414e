#pragma once
// The console control handler: Ctrl-C (SIGINT) and Ctrl-Break (a terminal's Ctrl-\,
// SIGQUIT) call the installed routine on a thread of its own, one event after the
// other. A routine that answers false leaves the event to the default action (the
// process ends). Every other signal keeps its default action.

#include <cstdint>
#include <functional>

namespace kestran {

constexpr uint32_t kCtrlCEvent = 0;
constexpr uint32_t kCtrlBreakEvent = 1;
constexpr uint32_t kCtrlCloseEvent = 2;
constexpr uint32_t kCtrlLogoffEvent = 5;
constexpr uint32_t kCtrlShutdownEvent = 6;

using ConsoleCtrlRoutine = std::function<bool(uint32_t event)>;

// add true installs routine (replacing an earlier one), false removes it again (the
// events then take the default action). False when the system refuses.
bool SetConsoleCtrlHandler(ConsoleCtrlRoutine routine, bool add);

}  // namespace kestran
