#include "platform/clock.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <string>

namespace kestran {

namespace {

// Whether the C library can tell the zone that TZ names. The library falls back to UTC
// under the given name when it cannot (a zone file that does not exist, a rule without an
// offset); that fallback is not a zone it knows.
bool ZoneKnown() {
  const char* env = std::getenv("TZ");
  if (env == nullptr || *env == '\0') return true;  // the system's zone, or UTC
  std::string name = env[0] == ':' ? env + 1 : env;
  if (name.empty() || name == "UTC" || name == "GMT" || name == "UTC0" || name == "GMT0")
    return true;
  struct stat st {};
  if (name[0] == '/') return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  const char* dir = std::getenv("TZDIR");
  std::string file =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + name;
  if (name.find("..") == std::string::npos && ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    return true;
  if (env[0] == ':') return false;
  // A rule: a name of three letters or more (or one in angle brackets), then its offset.
  size_t i = 0;
  if (name[0] == '<') {
    i = name.find('>');
    if (i == std::string::npos) return false;
    ++i;
  } else {
    while (i < name.size() && std::isalpha(static_cast<unsigned char>(name[i]))) ++i;
    if (i < 3) return false;
  }
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) ++i;
  return i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]));
}

}  // namespace

LocalTime LocalTimeAt(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
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
  r.hasZone = tm.tm_zone != nullptr && ZoneKnown();
  r.offsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
  return r;
}

LocalTime NowLocal() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  LocalTime r = LocalTimeAt(tv.tv_sec);
  r.millisecond = static_cast<int>(tv.tv_usec / 1000);
  return r;
}

int64_t NowUnixSeconds() {
  return static_cast<int64_t>(::time(nullptr));
}

}  // namespace kestran
