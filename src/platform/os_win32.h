#pragma once
// The Windows headers for the Win32 backends, included before any platform header: the
// platform's own names (CreateService, OpenService, StartServiceCtrlDispatcher, ...)
// are macros in the Windows headers, so those macros are removed here.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#undef CreateService
#undef OpenService
#undef StartServiceCtrlDispatcher
#undef RegisterServiceCtrlHandler
#undef CreateEvent
#undef ReportEvent
#undef RegisterEventSource
#undef GetCurrentDirectory
#undef SetCurrentDirectory
#undef DeleteFile
#undef CreateDirectory
#undef GetUserName
#undef Yield
#undef ERROR

namespace kestran::win32 {

// True when the program runs under Wine (ntdll exports wine_get_version there).
inline bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace kestran::win32
