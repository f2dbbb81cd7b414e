#pragma once
// Back-pressure: whether the queue has room for more mail. MAIL is refused while too many
// pairs wait in the queue directory, or while its file system is short of free space.
// The directory and the file system are looked at no more than once a second, by one
// session at a time; the others go by the last look, to which what happened since is
// added: the pairs stored since (counted as they are written), and the room that
// transactions under way hold (TSpaceReservation). The count of pairs so holds to within
// the transactions past MAIL, and the free space to within one message of the reserve.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kestran {

class TQueueRoom {
 public:
  static constexpr int64_t kSampleIntervalMs = 1000;
  static constexpr int64_t kReportIntervalMs = 60000;

  // maxPairs: pairs that may wait (0: no limit); minFreeBytes: free space the queue's
  // file system keeps for new transactions (0: not checked); floorBytes: the free space
  // below which not even a body under way takes more (at most minFreeBytes). Set before
  // sessions run.
  void Configure(const std::string& dir, uint32_t maxPairs, uint64_t minFreeBytes,
                 uint64_t floorBytes = 0);
  // The same limits, changed while sessions run (what was counted and held stays).
  void SetLimits(uint32_t maxPairs, uint64_t minFreeBytes, uint64_t floorBytes);
  bool Enabled() const { return maxPairs_ != 0 || minFreeBytes_ != 0; }

  // False while a new transaction (MAIL) is refused: too many pairs, or too little free
  // space once what transactions hold is taken off. Looks again when the last look is a
  // second old. nowMs: a steady clock in milliseconds.
  bool HasRoom(int64_t nowMs);
  // False while the free space, minus what transactions hold, is below the reserve
  // (DATA: the pair count is for MAIL alone).
  bool HasSpace(int64_t nowMs);

  // The room held by transactions under way (see TSpaceReservation).
  void Reserve(uint64_t bytes) { reserved_.fetch_add(bytes, std::memory_order_relaxed); }
  void Unreserve(uint64_t bytes) { reserved_.fetch_sub(bytes, std::memory_order_relaxed); }
  // Holds bytes more unless that takes the free space below the floor.
  bool TryReserveMore(uint64_t bytes);
  uint64_t Reserved() const { return reserved_.load(std::memory_order_relaxed); }
  // A pair of bytes in all was written to the queue.
  void NoteStored(uint64_t bytes);
  // Free space as last looked at, less what was stored since and what is held; 0 when
  // the space is not checked or not known.
  int64_t FreeAfterReservations() const;

  // Where the free space of the queue's file system comes from (tests stand in for it).
  std::function<bool(const std::string& dir, uint64_t& bytes)> FreeSpaceProbe;
  bool Refusing() const { return refusing_.load(std::memory_order_relaxed); }
  // Refusing, or its end not yet reported: someone should keep looking even while no
  // session asks (the service does, every second).
  bool NeedsLooking() const {
    return refusing_.load(std::memory_order_relaxed) ||
           reportedRefusing_.load(std::memory_order_relaxed);
  }

  // A line for the event log when the refusing starts or stops (at most one a minute;
  // a change within the minute is reported once it is over, at a later look).
  std::function<void(bool refusing, const std::string& text)> OnChange;

 private:
  // Looks at the directory and the file system when a second has passed.
  void LookIfDue(int64_t nowMs);
  void Sample(int64_t nowMs);
  bool PairsFull() const;
  bool SpaceShort() const;

  std::string dir_;
  std::atomic<uint32_t> maxPairs_{0};
  std::atomic<uint64_t> minFreeBytes_{0};
  std::atomic<uint64_t> floorBytes_{0};
  std::atomic<bool> refusing_{false};
  // The last look, and what happened since.
  std::atomic<uint64_t> sampledPairs_{0};
  std::atomic<bool> pairsKnown_{false};
  std::atomic<int64_t> sampledFree_{0};
  std::atomic<bool> freeKnown_{false};
  std::atomic<uint64_t> pairsSince_{0};
  std::atomic<uint64_t> bytesSince_{0};
  std::atomic<uint64_t> reserved_{0};
  std::atomic<int64_t> nextSampleMs_{0};
  std::mutex sampling_;  // held by the one session that looks
  // Under sampling_.
  std::atomic<bool> reportedRefusing_{false};
  bool reportedOnce_ = false;
  int64_t lastReportMs_ = 0;
  std::string why_;
};

}  // namespace kestran
