#include "smtp/queue_room.h"

#include <algorithm>
#include <cstdint>

#include "platform/files.h"
#include "smtp/queue_census.h"

namespace kestran {
namespace {

std::string Megabytes(uint64_t bytes) {
  return std::to_string(bytes >> 20) + " MB";
}

}  // namespace

void TQueueRoom::Configure(const std::string& dir, uint32_t maxPairs, uint64_t minFreeBytes,
                           uint64_t floorBytes) {
  dir_ = dir;
  SetLimits(maxPairs, minFreeBytes, floorBytes);
  refusing_ = false;
  nextSampleMs_ = 0;
  pairsKnown_ = false;
  freeKnown_ = false;
  pairsSince_ = 0;
  bytesSince_ = 0;
}

void TQueueRoom::SetLimits(uint32_t maxPairs, uint64_t minFreeBytes, uint64_t floorBytes) {
  maxPairs_ = maxPairs;
  minFreeBytes_ = minFreeBytes;
  floorBytes_ = std::min(floorBytes, minFreeBytes);
}

void TQueueRoom::LookIfDue(int64_t nowMs) {
  if (nowMs < nextSampleMs_.load(std::memory_order_relaxed)) return;
  std::unique_lock<std::mutex> lock(sampling_, std::try_to_lock);
  if (lock.owns_lock() && nowMs >= nextSampleMs_.load(std::memory_order_relaxed)) {
    Sample(nowMs);
    nextSampleMs_.store(nowMs + kSampleIntervalMs, std::memory_order_relaxed);
  }
}

bool TQueueRoom::PairsFull() const {
  if (maxPairs_ == 0 || !pairsKnown_.load(std::memory_order_relaxed)) return false;
  return sampledPairs_.load(std::memory_order_relaxed) +
             pairsSince_.load(std::memory_order_relaxed) >=
         maxPairs_;
}

int64_t TQueueRoom::FreeAfterReservations() const {
  if (minFreeBytes_ == 0 || !freeKnown_.load(std::memory_order_relaxed)) return 0;
  return sampledFree_.load(std::memory_order_relaxed) -
         static_cast<int64_t>(bytesSince_.load(std::memory_order_relaxed)) -
         static_cast<int64_t>(reserved_.load(std::memory_order_relaxed));
}

bool TQueueRoom::SpaceShort() const {
  if (minFreeBytes_ == 0 || !freeKnown_.load(std::memory_order_relaxed)) return false;
  return FreeAfterReservations() < static_cast<int64_t>(minFreeBytes_);
}

bool TQueueRoom::HasRoom(int64_t nowMs) {
  if (!Enabled()) return true;
  LookIfDue(nowMs);
  if (!PairsFull() && !SpaceShort()) return true;
  // Refused between two looks: the looks go on every second, so that the refusing and
  // its end are reported.
  refusing_.store(true, std::memory_order_relaxed);
  return false;
}

bool TQueueRoom::HasSpace(int64_t nowMs) {
  if (minFreeBytes_ == 0) return true;
  LookIfDue(nowMs);
  if (!SpaceShort()) return true;
  refusing_.store(true, std::memory_order_relaxed);
  return false;
}

bool TQueueRoom::TryReserveMore(uint64_t bytes) {
  reserved_.fetch_add(bytes, std::memory_order_relaxed);
  if (minFreeBytes_ == 0 || !freeKnown_.load(std::memory_order_relaxed)) return true;
  if (FreeAfterReservations() >= static_cast<int64_t>(floorBytes_)) return true;
  reserved_.fetch_sub(bytes, std::memory_order_relaxed);
  return false;
}

void TQueueRoom::NoteStored(uint64_t bytes) {
  // After the pair's files are in place: a look that sees this count sees them too.
  pairsSince_.fetch_add(1, std::memory_order_release);
  bytesSince_.fetch_add(bytes, std::memory_order_release);
}

void TQueueRoom::Sample(int64_t nowMs) {
  bool full = false;
  std::string state;
  // What was stored before this look began is in what it sees; what is stored while it
  // looks may be or not (a name that appears while the directory is listed can be
  // missed), so it counts on until the next look: twice for a second rather than not at
  // all.
  const uint64_t pairsBefore = pairsSince_.load(std::memory_order_acquire);
  const uint64_t bytesBefore = bytesSince_.load(std::memory_order_acquire);
  if (maxPairs_ != 0) {
    // Once a second on a queue that may hold a hundred thousand pairs: names only.
    TQueueCensus census = TakeQueueCensus(dir_, false);
    state = std::to_string(census.Pairs) + " pairs wait (limit " +
            std::to_string(maxPairs_.load()) + ")";
    sampledPairs_.store(census.Pairs, std::memory_order_relaxed);
    pairsKnown_.store(census.Read, std::memory_order_relaxed);
    if (census.Read && census.Pairs >= maxPairs_) full = true;
  }
  uint64_t free = 0;
  // A file system that cannot be asked is not taken as full.
  const bool known =
      minFreeBytes_ != 0 && (FreeSpaceProbe ? FreeSpaceProbe(dir_, free) : FreeSpaceOf(dir_, free));
  freeKnown_.store(known, std::memory_order_relaxed);
  if (known) {
    sampledFree_.store(static_cast<int64_t>(std::min<uint64_t>(free, INT64_MAX)),
                       std::memory_order_relaxed);
    if (!state.empty()) state += ", ";
    state += Megabytes(free) + " free on its file system (at least " +
             Megabytes(minFreeBytes_.load()) + " kept)";
    const uint64_t held = reserved_.load(std::memory_order_relaxed);
    if (held >= (uint64_t{1} << 20))
      state += ", " + Megabytes(held) + " held by transactions under way";
  }
  pairsSince_.fetch_sub(pairsBefore, std::memory_order_relaxed);
  bytesSince_.fetch_sub(bytesBefore, std::memory_order_relaxed);
  if (known && SpaceShort()) full = true;
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
