#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quilvane::platform {

// Days since 30 December 1899 at midnight; the fraction is the time of day.
using DateTime = double;

// 1 January 1970, the Unix epoch, as a DateTime day.
inline constexpr std::int64_t kUnixEpochDay = 25569;
inline constexpr std::int64_t kSecondsPerDay = 86400;

struct CivilDate {
  int year = 1899;
  int month = 12;
  int day = 30;
  friend bool operator==(const CivilDate&, const CivilDate&) = default;
};

struct CivilTime {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend bool operator==(const CivilTime&, const CivilTime&) = default;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool IsValidDate(int year, int month, int day);

// nullopt when the parts do not form a date of years 1 to 9999.
std::optional<DateTime> TryEncodeDate(int year, int month, int day);
DateTime EncodeTime(int hour, int minute, int second, int millisecond);

// The whole-day part of a date-time: its value cut towards zero.
std::int64_t DayOf(DateTime value);

// The calendar date and time of day of a value; the fraction's sign is
// ignored, as for values before 1899-12-30.
CivilDate DecodeDate(DateTime value);
CivilTime DecodeTime(DateTime value);

// Days since 1970-01-01 of a proleptic Gregorian date (negative before it),
// and back: day arithmetic without a DateTime's fraction. The parts are not
// checked: 2023-02-31 counts as 2023-03-03.
std::int64_t UnixDayOf(const CivilDate& date);
CivilDate CivilDateOfUnixDay(std::int64_t unix_day);

// A date-time and seconds since 1970 read on the same clock (both UTC, or
// both local); the seconds are rounded to the nearest.
DateTime DateTimeOfUnixSeconds(double seconds);
std::int64_t UnixSecondsOf(DateTime value);

// A system clock's reading as seconds since 1970, whole seconds cut towards
// the past, and as a date-time on that clock (UTC).
std::int64_t UnixSecondsOf(std::chrono::system_clock::time_point moment);
DateTime DateTimeOf(std::chrono::system_clock::time_point moment);
std::chrono::system_clock::time_point TimePointOf(DateTime utc);

// Minutes the local clock runs ahead of UTC (negative west of Greenwich),
// from both read at the same moment: rounded to the quarter hour, as every
// zone's offset is, and 0 when the two differ by more than any zone does.
int UtcOffsetMinutes(DateTime local_now, std::chrono::system_clock::time_point utc_now);

}  // namespace quilvane::platform
