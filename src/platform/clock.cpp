#include "platform/clock.h"

#include <sys/time.h>

#include <ctime>

namespace kestran {

LocalTime NowLocal() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  time_t t = tv.tv_sec;
  struct tm tm;
  LocalTime r;
  if (::localtime_r(&t, &tm) == nullptr) return r;
  r.year = tm.tm_year + 1900;
  r.month = tm.tm_mon + 1;
  r.day = tm.tm_mday;
  r.dayOfWeek = tm.tm_wday;
  r.hour = tm.tm_hour;
  r.minute = tm.tm_min;
  r.second = tm.tm_sec;
  r.millisecond = static_cast<int>(tv.tv_usec / 1000);
  r.hasZone = tm.tm_zone != nullptr;
  r.offsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
  return r;
}

int64_t NowUnixSeconds() { return static_cast<int64_t>(::time(nullptr)); }

}  // namespace kestran
