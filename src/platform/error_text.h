#pragma once
// Texts of the Windows error codes that the platform layer produces, and the calling
// thread's last error code of the service-manager calls.

#include <cstdint>
#include <string>

namespace kestran {

// The system's text for a Windows error code, ending in CR LF like the system's own
// texts; empty for a code the layer never produces.
std::string SystemErrorText(uint32_t code);

// The last error code of this thread (0 when none was set).
uint32_t GetLastError();
void SetLastError(uint32_t code);

// The Windows error code for a POSIX errno value.
uint32_t ErrorFromErrno(int err);

}  // namespace kestran
