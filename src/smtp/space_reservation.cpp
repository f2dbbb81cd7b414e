#include "smtp/space_reservation.h"

#include <algorithm>
#include <cctype>

#include "smtp/queue_room.h"

namespace kestran {

void TSpaceReservation::Hold(TQueueRoom* room, uint64_t bytes) {
  Release();
  if (room == nullptr) return;
  room->Reserve(bytes);
  room_ = room;
  bytes_ = bytes;
}

bool TSpaceReservation::GrowTo(uint64_t bytes) {
  if (room_ == nullptr || bytes <= bytes_) return true;
  // Rounded up to whole steps, so that a body line costs an atomic add only now and then.
  const uint64_t target = (bytes + kStep - 1) / kStep * kStep;
  if (!room_->TryReserveMore(target - bytes_)) return false;
  bytes_ = target;
  return true;
}

void TSpaceReservation::Release() {
  if (room_ != nullptr) room_->Unreserve(bytes_);
  room_ = nullptr;
  bytes_ = 0;
}

uint64_t DeclaredMessageSize(const std::vector<std::string>& params) {
  for (const auto& p : params) {
    if (p.size() < 6) continue;
    std::string key = p.substr(0, 5);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (key != "SIZE=") continue;
    uint64_t n = 0;
    for (size_t i = 5; i < p.size(); ++i) {
      const char c = p[i];
      if (c < '0' || c > '9') return 0;
      const uint64_t d = static_cast<uint64_t>(c - '0');
      if (n > (UINT64_MAX - d) / 10) return 0;
      n = n * 10 + d;
    }
    return n;
  }
  return 0;
}

uint64_t BodyFootprint(uint64_t size, uint64_t memoryPart) {
  return size + (size > memoryPart ? size - memoryPart : 0);
}

}  // namespace kestran
