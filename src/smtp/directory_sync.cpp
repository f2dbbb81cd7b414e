#include "smtp/directory_sync.h"

#include <chrono>
#include <map>

#include "platform/files.h"
#include "platform/wait_word.h"
#include "smtp/receiver_metrics.h"

namespace kestran {

namespace {

// The caller this thread announced and has not yet brought: its group and the serial of
// its TExpected (so that an older one, destroyed late, takes nothing back).
struct TAnnounced {
  TDirectorySync* group = nullptr;
  uint64_t serial = 0;
};
thread_local TAnnounced tAnnounced;
thread_local uint64_t tSerials = 0;

}  // namespace

TDirectorySync::TExpected::TExpected(TExpected&& other) noexcept
    : group_(other.group_), serial_(other.serial_) {
  other.group_ = nullptr;
}

TDirectorySync::TExpected::~TExpected() {
  if (!group_ || tAnnounced.group != group_ || tAnnounced.serial != serial_) return;
  tAnnounced = {};
  std::unique_lock<std::mutex> lock(group_->m_);
  group_->Arrived(lock);
}

TDirectorySync::TExpected TDirectorySync::Expect() {
  // One announcement per thread at a time; a thread that already has one is counted once.
  if (tAnnounced.group) return {};
  std::lock_guard<std::mutex> g(m_);
  ++expected_;
  tAnnounced = {this, ++tSerials};
  return TExpected(this, tAnnounced.serial);
}

void TDirectorySync::Arrived(std::unique_lock<std::mutex>&) {
  // The gatherer is woken once, when the last of them is in.
  if (--expected_ == 0 && gathering_) {
    gather_.fetch_add(1, std::memory_order_release);
    WakeWord(gather_, false);
  }
}

void TDirectorySync::Gather(std::unique_lock<std::mutex>& lock) {
  if (expected_ <= 0 || gatherUs_ == 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(gatherUs_);
  gathering_ = true;
  while (expected_ > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const uint32_t seen = gather_.load(std::memory_order_acquire);
    lock.unlock();
    WaitWordForMicroseconds(gather_, seen, static_cast<uint32_t>(left.count()));
    lock.lock();
  }
  gathering_ = false;
}

TDirectorySync::TDirectorySync(std::string dir, TSyncFn sync, int maxRunning, uint32_t gatherUs)
    : dir_(std::move(dir)),
      flush_(sync ? nullptr : std::make_unique<TFileSystemFlush>(dir_)),
      sync_(sync ? std::move(sync)
                 : TSyncFn([f = flush_.get()](const std::string&,
                                              const std::vector<std::string>& files) {
                     return f->Flush(files);
                   })),
      maxRunning_(maxRunning < 1 ? 1 : maxRunning),
      gatherUs_(gatherUs) {}

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
  if (tAnnounced.group == this) {
    tAnnounced = {};
    Arrived(lock);
  }
  if (!next_) next_ = std::make_shared<TRound>();
  std::shared_ptr<TRound> round = next_;
  round->files.insert(round->files.end(), files.begin(), files.end());
  // Either a flush that begins later serves this round, or this caller runs it. Where
  // more than one flush may run at once, a round need not wait for the whole of the one
  // before it.
  while (running_ >= maxRunning_ || next_ != round || round->led) {
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
  // The round stays open to callers while its leader gathers them; it holds a place
  // among the running flushes meanwhile.
  round->led = true;
  ++running_;
  Gather(lock);
  next_.reset();
  lock.unlock();
  bool ok = false;
  const auto flushStart = std::chrono::steady_clock::now();
  try {
    ok = sync_(dir_, round->files);
  } catch (...) {
    ok = false;
  }
  ReceiverMetrics().CountFlush(
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now() - flushStart)
                                .count()),
      ok);
  lock.lock();
  --running_;
  if (!ok) failures_.fetch_add(1, std::memory_order_acq_rel);
  round->state.store(ok ? TRound::kSucceeded : TRound::kFailed, std::memory_order_release);
  // The round that waits (not yet running: a caller that takes it clears next_) may now
  // run; one of its callers is woken to run it.
  std::shared_ptr<TRound> waiting = next_;
  uint32_t idle = TRound::kWaiting;
  if (waiting && (waiting->led || !waiting->state.compare_exchange_strong(
                                      idle, TRound::kMayRun, std::memory_order_release)))
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
