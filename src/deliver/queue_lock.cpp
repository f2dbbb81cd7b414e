#include "deliver/queue_lock.h"

#include <fcntl.h>
#include <sys/file.h>

namespace kestran {

bool TQueueLock::TryLock(const std::string& queueDir) {
  TFd fd(
      ::open((queueDir + kQueueLockName).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
  if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  fd_ = std::move(fd);
  return true;
}

}  // namespace kestran
