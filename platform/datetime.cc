#include "platform/datetime.h"

#include <cmath>

namespace quilvane::platform {

std::int64_t UnixDayOf(const CivilDate& date) {
  // Howard Hinnant's algorithm.
  int y = date.year;
  const int m = date.month, d = date.day;
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate CivilDateOfUnixDay(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

std::optional<DateTime> TryEncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) return std::nullopt;
  return static_cast<DateTime>(UnixDayOf({year, month, day}) + kUnixEpochDay);
}

DateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

std::int64_t DayOf(DateTime value) { return static_cast<std::int64_t>(std::trunc(value)); }

CivilDate DecodeDate(DateTime value) { return CivilDateOfUnixDay(DayOf(value) - kUnixEpochDay); }

CivilTime DecodeTime(DateTime value) {
  double frac = std::fabs(value - std::trunc(value));
  auto ms = static_cast<std::int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  CivilTime t;
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

DateTime DateTimeOfUnixSeconds(double seconds) {
  return seconds / static_cast<double>(kSecondsPerDay) + static_cast<double>(kUnixEpochDay);
}

std::int64_t UnixSecondsOf(DateTime value) {
  return static_cast<std::int64_t>(
      std::llround((value - static_cast<double>(kUnixEpochDay)) * kSecondsPerDay));
}

std::int64_t UnixSecondsOf(std::chrono::system_clock::time_point moment) {
  return std::chrono::floor<std::chrono::seconds>(moment).time_since_epoch().count();
}

DateTime DateTimeOf(std::chrono::system_clock::time_point moment) {
  return DateTimeOfUnixSeconds(std::chrono::duration<double>(moment.time_since_epoch()).count());
}

std::chrono::system_clock::time_point TimePointOf(DateTime utc) {
  const double seconds = (utc - static_cast<double>(kUnixEpochDay)) * kSecondsPerDay;
  return std::chrono::system_clock::time_point(
      std::chrono::round<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(seconds)));
}

int UtcOffsetMinutes(DateTime local_now, std::chrono::system_clock::time_point utc_now) {
  constexpr long kMaxOffset = 14 * 60;  // Kiribati's, the widest
  const double minutes = (local_now - DateTimeOf(utc_now)) * 1440.0;
  const long rounded = std::lround(minutes / 15.0) * 15;
  return rounded >= -kMaxOffset && rounded <= kMaxOffset ? static_cast<int>(rounded) : 0;
}

}  // namespace quilvane::platform
