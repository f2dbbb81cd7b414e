#include <cstdio>
#include <mutex>

#include "service/servroot.h"

namespace kestran {
namespace {

std::mutex& OutLock() {
  // Never destroyed: threads may still write while the process ends.
  static std::mutex* lock = new std::mutex;
  return *lock;
}

}  // namespace

void WriteOut(const std::string& text) {
  std::lock_guard<std::mutex> g(OutLock());
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteLineOut(const std::string& text) {
  WriteOut(text + "\r\n");
}

}  // namespace kestran
