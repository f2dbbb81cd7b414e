#include "platform/os_win32.h"
// (the Windows headers first)
#include "platform/program_path.h"

#include <vector>

namespace kestran {

std::string ProgramPath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= 32768) {
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace kestran
