#pragma once
// What waits in the queue directory: the complete pairs (a recipient file under its
// final name) and the age of the oldest.

#include <cstdint>
#include <string>

namespace kestran {

struct TQueueCensus {
  bool Read = false;           // false: the directory could not be listed
  uint64_t Pairs = 0;          // ".RCP" files under their final name
  int64_t OldestModified = 0;  // seconds since 1970 of the oldest one; 0 when none
};

// dir: the queue directory as configured (Windows path). Without withAge, only the pairs
// are counted (OldestModified may stay 0), from the names alone where the system allows.
TQueueCensus TakeQueueCensus(const std::string& dir, bool withAge = true);

}  // namespace kestran
