#include "platform/error_text.h"

#include <cerrno>

namespace kestran {
namespace {

thread_local uint32_t tLastError = 0;

struct ErrorEntry {
  uint32_t code;
  const char* text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {0, "The operation succeeded."},
    {1, "The function is not valid here."},
    {2, "No file of that name was found."},
    {3, "The path does not lead to an existing directory."},
    {4, "Too many files are open at once."},
    {5, "Access to the object was refused."},
    {6, "The handle is not a valid open handle."},
    {8, "There is not enough memory for the operation."},
    {13, "The data are not valid."},
    {31, "A device attached to the system does not work."},
    {32, "Another process is using the file."},
    {53, "The network path does not exist."},
    {80, "A file of that name already exists."},
    {87, "A parameter is not valid."},
    {112, "The disk has no space left."},
    {122, "The buffer is too small for the data."},
    {123, "The name is not valid here."},
    {145, "The directory is not empty."},
    {183, "An object of that name already exists."},
    {206, "The file name or path is too long."},
    {1013, "The registry file could not be written."},
    {1018, "The registry key was deleted while it was open."},
    {1051, "Other running services depend on this service."},
    {1052, "The control is not valid for this service."},
    {1053, "The service did not answer the request in time."},
    {1056, "The service is already running."},
    {1057, "The account does not exist or cannot be used for the service."},
    {1058, "The service is disabled and cannot be started."},
    {1060, "No service of that name is installed."},
    {1061, "The service cannot take controls at this time."},
    {1062, "The service is not running."},
    {1063,
     "The process was not started by the service manager and cannot act as a "
     "service."},
    {1066, "The service ended with an error of its own."},
    {1067, "The process ended unexpectedly."},
    {1072, "The service is already marked for removal."},
    {1073, "A service of that name is already installed."},
    {1115, "The system is shutting down."},
    {1920, "The name leads to a link or another object that is not a plain file."},
};

}  // namespace

std::string SystemErrorText(uint32_t code) {
  for (const auto& e : kErrorTexts)
    if (e.code == code) return std::string(e.text) + "\r\n";
  return std::string();
}

uint32_t GetLastError() {
  return tLastError;
}

void SetLastError(uint32_t code) {
  tLastError = code;
}

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return 5;
    case EBADF:
      return 6;
    case ENOMEM:
      return 8;
    case EEXIST:
      return 80;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 112;
    case EMFILE:
    case ENFILE:
      return 4;
    case ENAMETOOLONG:
      return 206;
    case ENOTEMPTY:
      return 145;
    case EBUSY:
      return 32;
    case EINVAL:
      return 87;
    default:
      return 31;
  }
}

}  // namespace kestran
