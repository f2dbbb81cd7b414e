#include "smtp/queue_room.h"

#include "platform/files.h"
#include "smtp/queue_census.h"

namespace kestran {
namespace {

std::string Megabytes(uint64_t bytes) {
  return std::to_string(bytes >> 20) + " MB";
}

}  // namespace

void TQueueRoom::Configure(const std::string& dir, uint32_t maxPairs, uint64_t minFreeBytes) {
  dir_ = dir;
  maxPairs_ = maxPairs;
  minFreeBytes_ = minFreeBytes;
  refusing_ = false;
  nextSampleMs_ = 0;
}

bool TQueueRoom::HasRoom(int64_t nowMs) {
  if (!Enabled()) return true;
  if (nowMs >= nextSampleMs_.load(std::memory_order_relaxed)) {
    std::unique_lock<std::mutex> lock(sampling_, std::try_to_lock);
    if (lock.owns_lock() && nowMs >= nextSampleMs_.load(std::memory_order_relaxed)) {
      Sample(nowMs);
      nextSampleMs_.store(nowMs + kSampleIntervalMs, std::memory_order_relaxed);
    }
  }
  return !refusing_.load(std::memory_order_relaxed);
}

void TQueueRoom::Sample(int64_t nowMs) {
  bool full = false;
  std::string state;
  if (maxPairs_ != 0) {
    // Once a second on a queue that may hold a hundred thousand pairs: names only.
    TQueueCensus census = TakeQueueCensus(dir_, false);
    state = std::to_string(census.Pairs) + " pairs wait (limit " + std::to_string(maxPairs_) + ")";
    if (census.Read && census.Pairs >= maxPairs_) full = true;
  }
  uint64_t free = 0;
  // A file system that cannot be asked is not taken as full.
  if (minFreeBytes_ != 0 && FreeSpaceOf(dir_, free)) {
    if (!state.empty()) state += ", ";
    state += Megabytes(free) + " free on its file system (at least " + Megabytes(minFreeBytes_) +
             " kept)";
    if (free < minFreeBytes_) full = true;
  }
  refusing_.store(full, std::memory_order_relaxed);
  if (full == reportedRefusing_ && reportedOnce_) return;
  if (!full && !reportedOnce_) return;  // nothing was refused yet
  if (reportedOnce_ && nowMs - lastReportMs_ < kReportIntervalMs) return;
  reportedRefusing_ = full;
  reportedOnce_ = true;
  lastReportMs_ = nowMs;
  if (OnChange)
    OnChange(full, full ? "Mail is refused with 452 until the queue has room: " + state
                        : "Mail is taken again, the queue has room: " + state);
}

}  // namespace kestran
