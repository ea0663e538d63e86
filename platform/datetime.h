#pragma once

#include <cstdint>
#include <optional>

namespace quilvane::platform {

// Days since 30 December 1899 at midnight; the fraction is the time of day.
using DateTime = double;

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

}  // namespace quilvane::platform
