#include "platform/program_path.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/error_text.h"

namespace kestran {

std::string ProgramPath() {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      SetLastError(ErrorFromErrno(errno));
      return std::string();
    }
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

}  // namespace kestran
