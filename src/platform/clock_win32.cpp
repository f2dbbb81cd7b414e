#include "platform/os_win32.h"
// (the Windows headers first)
#include "platform/clock.h"

#include <ctime>

namespace kestran {

LocalTime NowLocal() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.dayOfWeek = st.wDayOfWeek;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.millisecond = st.wMilliseconds;
  TIME_ZONE_INFORMATION tz;
  DWORD mode = ::GetTimeZoneInformation(&tz);
  if (mode != TIME_ZONE_ID_INVALID) {
    LONG bias = tz.Bias;  // UTC = local + bias
    if (mode == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
    if (mode == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
    t.hasZone = true;
    t.offsetMinutes = -static_cast<int>(bias);
  }
  return t;
}

int64_t NowUnixSeconds() {
  return static_cast<int64_t>(::time(nullptr));
}

}  // namespace kestran
