#include "smtp/directory_sync.h"

#include <map>

#include "platform/files.h"
#include "platform/wait_word.h"

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
  return TToken{failures_.load(std::memory_order_acquire)};
}

bool TDirectorySync::Sync(const std::vector<std::string>& files) {
  return SyncSince(UINT64_MAX, files);
}

bool TDirectorySync::Sync(TToken since, const std::vector<std::string>& files) {
  return SyncSince(since.failures, files);
}

bool TDirectorySync::Outcome(const TRound& round, uint64_t failuresBefore) const {
  return round.state.load(std::memory_order_acquire) == TRound::kSucceeded &&
         (failuresBefore == UINT64_MAX ||
          failures_.load(std::memory_order_acquire) == failuresBefore);
}

bool TDirectorySync::SyncSince(uint64_t failuresBefore, const std::vector<std::string>& files) {
  std::unique_lock<std::mutex> lock(m_);
  ++requested_;
  if (!next_) next_ = std::make_shared<TRound>();
  std::shared_ptr<TRound> round = next_;
  round->files.insert(round->files.end(), files.begin(), files.end());
  // Either a flush that begins later serves this round, or this caller runs it. Where
  // more than one flush may run at once, a round need not wait for the whole of the one
  // before it.
  while (running_ >= maxRunning_ || next_ != round) {
    lock.unlock();
    uint32_t state;
    while ((state = round->state.load(std::memory_order_acquire)) == TRound::kWaiting)
      WaitWord(round->state, TRound::kWaiting);
    if (state != TRound::kMayRun) return Outcome(*round, failuresBefore);
    lock.lock();
    // Whoever gets here first runs the flush (or finds it already taken); the others
    // go back to sleep until it ends.
    uint32_t mayRun = TRound::kMayRun;
    round->state.compare_exchange_strong(mayRun, TRound::kWaiting, std::memory_order_relaxed);
  }
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
  if (!ok) failures_.fetch_add(1, std::memory_order_acq_rel);
  round->state.store(ok ? TRound::kSucceeded : TRound::kFailed, std::memory_order_release);
  // The round that waits (not yet running: a caller that takes it clears next_) may now
  // run; one of its callers is woken to run it.
  std::shared_ptr<TRound> waiting = next_;
  uint32_t idle = TRound::kWaiting;
  if (waiting &&
      !waiting->state.compare_exchange_strong(idle, TRound::kMayRun, std::memory_order_release))
    waiting.reset();
  lock.unlock();
  WakeWord(round->state, true);
  if (waiting) WakeWord(waiting->state, false);
  return Outcome(*round, failuresBefore);
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
