#pragma once
// Dates and time stamps of the receiver, always with the fixed English day and month
// names, whatever the machine's locale.

#include <array>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kestran {

inline constexpr std::array<std::string_view, 7> ShortDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                                  "Thu", "Fri", "Sat"};
inline constexpr std::array<std::string_view, 7> LongDayNames = {
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
inline constexpr std::array<std::string_view, 12> ShortMonthNames = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
inline constexpr std::array<std::string_view, 12> LongMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

// "[06/Dec/2026:14:18:00]": the time stamp of protocol-log entries (no zone).
std::string LogTimeStamp();
std::string LogTimeStamp(const LocalTime& t);

// "Sun, 06 Dec 2026 14:18:00 +0100"; without the zone (and its blank) when the zone
// is not known.
std::string RFC822Date();
std::string RFC822Date(const LocalTime& t);

// "yymmdd" (261206 for 6 December 2026): the stem of the daily log files.
std::string DateStem(const LocalTime& t);
std::string DateStem();

}  // namespace kestran
