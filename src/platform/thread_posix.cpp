#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "platform/thread_os.h"

namespace kestran::thread_os {

std::string StartDetachedThread(ThreadEntry entry, void* arg, size_t stackSize) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize);
  pthread_t t;
  int rc = pthread_create(&t, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) return std::strerror(rc);
  return {};
}

uint64_t CurrentThreadId() {
  return static_cast<uint64_t>(::syscall(SYS_gettid));
}

}  // namespace kestran::thread_os
