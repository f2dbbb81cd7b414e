#include "smtp/defdate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "support/zone_scope.h"

namespace kestran {
namespace {

LocalTime At(int y, int mo, int d, int dow, int h, int mi, int s, std::optional<int> offset) {
  LocalTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.dayOfWeek = dow;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.hasZone = offset.has_value();
  t.offsetMinutes = offset.value_or(0);
  return t;
}

using test::ZoneScope;

// Days since 1970-01-01 of a civil date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// The local time of a fixed instant in the zone in force, computed independently with
// the standard library, so that real zone data is exercised.
LocalTime LocalAt(std::time_t instant) {
  std::tm local = *std::localtime(&instant);
  long long localSeconds =
      DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) *
          86400LL +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  int offset = static_cast<int>((localSeconds - instant) / 60);
  return At(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday, local.tm_hour,
            local.tm_min, local.tm_sec, offset);
}

constexpr std::time_t kWinterNoonUtc = 1796558400;  // Sun, 06 Dec 2026 12:00:00 UTC
constexpr std::time_t kSummerNoonUtc = 1782907200;  // Wed, 01 Jul 2026 12:00:00 UTC

TEST(DefDate, FormatsOfAGivenTime) {
  LocalTime t = At(2026, 12, 6, 0, 14, 18, 0, 60);
  EXPECT_EQ(LogTimeStamp(t), "[06/Dec/2026:14:18:00]");
  EXPECT_EQ(RFC822Date(t), "Sun, 06 Dec 2026 14:18:00 +0100");
  EXPECT_EQ(DateStem(t), "261206");

  EXPECT_EQ(RFC822Date(At(2026, 1, 5, 1, 3, 4, 5, -300)), "Mon, 05 Jan 2026 03:04:05 -0500");
  EXPECT_EQ(RFC822Date(At(2026, 1, 5, 1, 3, 4, 5, 330)), "Mon, 05 Jan 2026 03:04:05 +0530");
  EXPECT_EQ(RFC822Date(At(2026, 1, 5, 1, 3, 4, 5, -210)), "Mon, 05 Jan 2026 03:04:05 -0330");
  EXPECT_EQ(RFC822Date(At(2026, 1, 5, 1, 3, 4, 5, 0)), "Mon, 05 Jan 2026 03:04:05 +0000");
  EXPECT_EQ(RFC822Date(At(2026, 1, 5, 1, 3, 4, 5, std::nullopt)), "Mon, 05 Jan 2026 03:04:05");
  EXPECT_EQ(DateStem(At(2000, 1, 9, 0, 0, 0, 0, 0)), "000109");
  EXPECT_EQ(LogTimeStamp(At(1999, 9, 30, 4, 23, 59, 59, 0)), "[30/Sep/1999:23:59:59]");
}

TEST(DefDate, ZonesFromTheTimeZoneDatabase) {
  struct Case {
    const char* zone;
    std::time_t instant;
    const char* expected;
  } cases[] = {
      {"UTC", kWinterNoonUtc, "Sun, 06 Dec 2026 12:00:00 +0000"},
      {"Europe/Berlin", kWinterNoonUtc, "Sun, 06 Dec 2026 13:00:00 +0100"},
      {"Europe/Berlin", kSummerNoonUtc, "Wed, 01 Jul 2026 14:00:00 +0200"},
      {"Asia/Kolkata", kWinterNoonUtc, "Sun, 06 Dec 2026 17:30:00 +0530"},
      {"America/New_York", kWinterNoonUtc, "Sun, 06 Dec 2026 07:00:00 -0500"},
      {"America/New_York", kSummerNoonUtc, "Wed, 01 Jul 2026 08:00:00 -0400"},
  };
  for (const auto& c : cases) {
    ZoneScope zone(c.zone);
    EXPECT_EQ(RFC822Date(LocalAt(c.instant)), c.expected) << c.zone;
  }
}

// Compares text with a shape: 'd' a digit, 'A' an upper-case letter, 'a' a lower-case
// letter, 's' a sign, anything else itself.
bool HasShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (shape[i]) {
      case 'd':
        if (c < '0' || c > '9') return false;
        break;
      case 'A':
        if (c < 'A' || c > 'Z') return false;
        break;
      case 'a':
        if (c < 'a' || c > 'z') return false;
        break;
      case 's':
        if (c != '+' && c != '-') return false;
        break;
      default:
        if (c != shape[i]) return false;
    }
  }
  return true;
}

TEST(DefDate, CurrentTimeFollowsTZ) {
  {
    ZoneScope zone("Asia/Kolkata");
    std::string d = RFC822Date();
    EXPECT_TRUE(HasShape(d, "Aaa, dd Aaa dddd dd:dd:dd sdddd")) << d;
    EXPECT_EQ(d.substr(d.size() - 5), "+0530");
    EXPECT_TRUE(HasShape(LogTimeStamp(), "[dd/Aaa/dddd:dd:dd:dd]")) << LogTimeStamp();
    EXPECT_EQ(DateStem().size(), 6u);
  }
  {
    ZoneScope zone("UTC");
    std::string d = RFC822Date();
    EXPECT_EQ(d.substr(d.size() - 5), "+0000");
  }
  {
    ZoneScope zone("EST5EDT,M3.2.0,M11.1.0");  // a rule, not a zone file
    std::string d = RFC822Date();
    EXPECT_TRUE(d.substr(d.size() - 5) == "-0500" || d.substr(d.size() - 5) == "-0400") << d;
  }
  // A zone the library cannot tell: no offset rather than a made-up +0000.
  for (const char* unknown : {"Nowhere/Atlantis", ":Nowhere/Atlantis", "XYZ"}) {
    ZoneScope zone(unknown);
    std::string d = RFC822Date();
    EXPECT_TRUE(HasShape(d, "Aaa, dd Aaa dddd dd:dd:dd")) << unknown << ": " << d;
  }
}

TEST(DefDate, EnglishNamesUnderAnotherLocale) {
  const char* chosen = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no non-English locale installed";
  // The locale is in force: the C library itself now names days in another language.
  std::tm sunday{};
  sunday.tm_wday = 0;
  char libraryName[32] = {};
  std::strftime(libraryName, sizeof libraryName, "%a", &sunday);
  EXPECT_NE(std::string(libraryName), "Sun") << chosen;

  LocalTime t = At(2026, 3, 1, 0, 9, 8, 7, 60);
  EXPECT_EQ(RFC822Date(t), "Sun, 01 Mar 2026 09:08:07 +0100");
  EXPECT_EQ(LogTimeStamp(t), "[01/Mar/2026:09:08:07]");
  std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace kestran
