#include "smtp/defdate.h"

#include <cstdio>
#include <cstdlib>

namespace kestran {
namespace {

std::string_view Pick(const auto& names, int index) {
  if (index < 0 || static_cast<size_t>(index) >= names.size()) return "???";
  return names[static_cast<size_t>(index)];
}

std::string TwoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

}  // namespace

std::string LogTimeStamp(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "[%02d/%s/%04d:%02d:%02d:%02d]", t.day,
                std::string(Pick(ShortMonthNames, t.month - 1)).c_str(), t.year, t.hour, t.minute,
                t.second);
  return buf;
}

std::string LogTimeStamp() {
  return LogTimeStamp(NowLocal());
}

std::string RFC822Date(const LocalTime& t) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d",
                std::string(Pick(ShortDayNames, t.dayOfWeek)).c_str(), t.day,
                std::string(Pick(ShortMonthNames, t.month - 1)).c_str(), t.year, t.hour, t.minute,
                t.second);
  std::string out = buf;
  if (t.hasZone) {
    int offset = std::abs(t.offsetMinutes);
    out += t.offsetMinutes < 0 ? " -" : " +";
    out += TwoDigits(offset / 60 % 100) + TwoDigits(offset % 60);
  }
  return out;
}

std::string RFC822Date() {
  return RFC822Date(NowLocal());
}

std::string DateStem(const LocalTime& t) {
  return TwoDigits(((t.year % 100) + 100) % 100) + TwoDigits(t.month) + TwoDigits(t.day);
}

std::string DateStem() {
  return DateStem(NowLocal());
}

}  // namespace kestran
