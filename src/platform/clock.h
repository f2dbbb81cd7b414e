#pragma once
// Local time from the C library (TZ applies), with the zone offset when it is known.

#include <cstdint>

namespace kestran {

struct LocalTime {
  int year = 0;       // four digits
  int month = 0;      // 1..12
  int day = 0;        // 1..31
  int dayOfWeek = 0;  // 0 = Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  bool hasZone = false;
  int offsetMinutes = 0;  // local time minus UTC
};

LocalTime NowLocal();
#ifndef _WIN32
// The local time of a moment given in seconds since 1970 (millisecond 0); year 0 when the
// C library cannot convert it.
LocalTime LocalTimeAt(int64_t unixSeconds);
#endif
// Seconds since the epoch of "now", for measuring ages.
int64_t NowUnixSeconds();

}  // namespace kestran
