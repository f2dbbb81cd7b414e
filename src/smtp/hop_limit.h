#pragma once
// The hop limit: a message whose header section carries more Received: fields than
// MaxHops has gone round in a loop and is refused at the end of DATA, with nothing
// queued. The fields are counted as the header section comes in (THeaderScan).

#include <cstdint>
#include <string>

#include "smtp/message_body.h"

namespace kestran {

// MaxHops by default; 0 sets no limit.
inline constexpr uint32_t kDefaultMaxHops = 50;

// True when scan holds more Received: fields than maxHops allows.
inline bool TooManyHops(const THeaderScan& scan, uint32_t maxHops) {
  return maxHops != 0 && scan.receivedCount > maxHops;
}

// The reply to such a message, and the one place its enhanced status code (5.4.6,
// routing loop detected) goes where those codes are offered.
inline std::string TooManyHopsReply() {
  return "554 Too many hops";
}

}  // namespace kestran
