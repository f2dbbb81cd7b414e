#pragma once
// The room one transaction holds in the queue's file system from MAIL until its pair is
// written or the transaction ends: the larger of the size its sender declared and a few
// KiB at MAIL, then as much as the body takes as it comes in. Other sessions measure the
// free space minus everything held, so a burst of large messages cannot eat the reserve
// between two looks at the file system.

#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

class TQueueRoom;

class TSpaceReservation {
 public:
  // Held at MAIL when no size is declared (and at least that much when one is): the
  // queue file's trace headers and the recipient file of a small message.
  static constexpr uint64_t kMinimum = 8 * 1024;
  // A growing body takes its room in steps of this many bytes.
  static constexpr uint64_t kStep = 64 * 1024;

  TSpaceReservation() = default;
  ~TSpaceReservation() { Release(); }
  TSpaceReservation(const TSpaceReservation&) = delete;
  TSpaceReservation& operator=(const TSpaceReservation&) = delete;

  // Holds bytes in room from now on, in place of what was held before.
  void Hold(TQueueRoom* room, uint64_t bytes);
  // Holds at least bytes; false, holding no more than before, when the file system has
  // no room for them even in the margin kept for transactions under way.
  bool GrowTo(uint64_t bytes);
  void Release();
  uint64_t Bytes() const { return bytes_; }
  bool Holding() const { return room_ != nullptr; }

 private:
  TQueueRoom* room_ = nullptr;
  uint64_t bytes_ = 0;
};

// The size a MAIL command's SIZE parameter declares (RFC 1870); 0 when there is none or
// it is not a number that fits.
uint64_t DeclaredMessageSize(const std::vector<std::string>& params);

// What a body of size bytes takes on the queue's file system while it is received and
// stored: the queue file, and the part beyond the memory part in its scratch file too.
uint64_t BodyFootprint(uint64_t size, uint64_t memoryPart);

}  // namespace kestran
