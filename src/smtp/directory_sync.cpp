#include "smtp/directory_sync.h"

#include <map>
#include <memory>

#include "platform/files.h"

namespace kestran {

TDirectorySync::TDirectorySync(std::string dir, TSyncFn sync)
    : dir_(std::move(dir)), sync_(sync ? std::move(sync) : TSyncFn(SyncDirectory)) {}

bool TDirectorySync::Sync() {
  std::unique_lock<std::mutex> lock(m_);
  const uint64_t ticket = ++requested_;
  for (;;) {
    if (completed_ >= ticket) return true;
    if (!running_) break;
    done_.wait(lock);
  }
  // No flush is running and none has covered this ticket: run one for every ticket
  // handed out so far. Each of them was taken after its caller's files were in place.
  running_ = true;
  const uint64_t covers = requested_;
  lock.unlock();
  bool ok = false;
  try {
    ok = sync_(dir_);
  } catch (...) {
    ok = false;
  }
  lock.lock();
  running_ = false;
  if (ok && covers > completed_) completed_ = covers;
  done_.notify_all();
  return ok;
}

uint64_t TDirectorySync::Requested() {
  std::lock_guard<std::mutex> g(m_);
  return requested_;
}

TDirectorySync& TDirectorySync::For(const std::string& dir) {
  static std::mutex* m = new std::mutex;
  static auto* all = new std::map<std::string, std::unique_ptr<TDirectorySync>>;
  std::lock_guard<std::mutex> g(*m);
  auto& slot = (*all)[dir];
  if (!slot) slot = std::make_unique<TDirectorySync>(dir);
  return *slot;
}

}  // namespace kestran
