#pragma once
// One kestran-deliver per queue directory: the running program holds an exclusive lock
// on the file "kestran-deliver.lock" there.

#include <string>

#include "deliver/file_util.h"

namespace kestran {

inline constexpr const char* kQueueLockName = "kestran-deliver.lock";

class TQueueLock {
 public:
  // True when the lock was free and is now held by this object.
  bool TryLock(const std::string& queueDir);

 private:
  TFd fd_;
};

}  // namespace kestran
