#include "smtp/directory_sync.h"

#include <map>

#include "platform/files.h"

namespace kestran {

TDirectorySync::TDirectorySync(std::string dir, TSyncFn sync, int maxRunning)
    : dir_(std::move(dir)),
      flush_(sync ? nullptr : std::make_unique<TFileSystemFlush>(dir_)),
      sync_(sync ? std::move(sync)
                 : TSyncFn([f = flush_.get()](const std::string&,
                                              const std::vector<std::string>& files) {
                     return f->Flush(files);
                   })),
      maxRunning_(maxRunning < 1 ? 1 : maxRunning) {}

TDirectorySync::~TDirectorySync() = default;

TDirectorySync::TToken TDirectorySync::Begin() {
  std::lock_guard<std::mutex> g(m_);
  return TToken{failures_};
}

bool TDirectorySync::Sync(const std::vector<std::string>& files) {
  return SyncSince(UINT64_MAX, files);
}

bool TDirectorySync::Sync(TToken since, const std::vector<std::string>& files) {
  return SyncSince(since.failures, files);
}

bool TDirectorySync::SyncSince(uint64_t failuresBefore, const std::vector<std::string>& files) {
  std::unique_lock<std::mutex> lock(m_);
  ++requested_;
  if (!next_) next_ = std::make_shared<TRound>();
  std::shared_ptr<TRound> round = next_;
  round->files.insert(round->files.end(), files.begin(), files.end());
  // Either a flush that begins later serves this round, or this caller runs it. Two
  // flushes may overlap: a round need not wait for the whole of the one before it,
  // which the system may be able to serve in part with the same device flush.
  // Each round has its own condition, so that the end of a flush wakes its own callers
  // and one caller of the next round (to run it), not everyone.
  while (!round->done && (running_ >= maxRunning_ || next_ != round)) round->changed.wait(lock);
  if (!round->done) {
    next_.reset();
    ++running_;
    lock.unlock();
    bool ok = false;
    try {
      ok = sync_(dir_, round->files);
    } catch (...) {
      ok = false;
    }
    lock.lock();
    --running_;
    round->ok = ok;
    round->done = true;
    if (!ok) ++failures_;
    round->changed.notify_all();
    if (next_) next_->changed.notify_one();
  }
  return round->ok && (failuresBefore == UINT64_MAX || failures_ == failuresBefore);
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
