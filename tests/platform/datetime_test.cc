// Guards the date-time value every date of the system is held in.
#include "platform/datetime.h"

#include <gtest/gtest.h>

#include <chrono>

namespace quilvane::platform {
namespace {

struct DayCase {
  int y, m, d;
  double value;
};

constexpr DayCase kDays[] = {
    {1899, 12, 30, 0},     {1899, 12, 31, 1},  {1900, 3, 1, 61},        {2000, 2, 29, 36585},
    {2023, 10, 17, 45216}, {1, 1, 1, -693593}, {9999, 12, 31, 2958465}, {1800, 1, 1, -36522},
};

TEST(DateTime, EncodesAndDecodesCalendarDays) {
  for (const auto& c : kDays) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(c.value, TryEncodeDate(c.y, c.m, c.d).value());
    EXPECT_EQ((CivilDate{c.y, c.m, c.d}), DecodeDate(c.value));
  }
}

TEST(DateTime, RefusesInvalidDates) {
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29));
  EXPECT_FALSE(TryEncodeDate(2023, 13, 1));
  EXPECT_FALSE(TryEncodeDate(2023, 0, 1));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1));
  EXPECT_FALSE(TryEncodeDate(10000, 1, 1));
}

TEST(DateTime, DayCutsTowardsZero) {
  EXPECT_EQ(45216, DayOf(45216.999));
  EXPECT_EQ(0, DayOf(-0.5));
  EXPECT_EQ(-1, DayOf(-1.25));
}

TEST(DateTime, TimeOfDay) {
  const DateTime t = 45216 + EncodeTime(14, 5, 9, 250);
  EXPECT_EQ((CivilTime{14, 5, 9, 250}), DecodeTime(t));
  EXPECT_EQ((CivilTime{23, 59, 59, 999}), DecodeTime(45216.99999999999));
}

// Day arithmetic on either side of the Unix epoch and of a leap day: the
// receipts' days and the status page's ages are counted with it.
TEST(DateTime, UnixDaysBothWays) {
  const struct {
    CivilDate date;
    std::int64_t unix_day;
  } cases[] = {
      {{1970, 1, 1}, 0},     {{1969, 12, 31}, -1},      {{1899, 12, 30}, -kUnixEpochDay},
      {{2000, 3, 1}, 11017}, {{2024, 2, 29}, 19782},    {{2024, 3, 1}, 19783},
      {{1, 1, 1}, -719162},  {{9999, 12, 31}, 2932896},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unix_day);
    EXPECT_EQ(c.unix_day, UnixDayOf(c.date));
    EXPECT_EQ(c.date, CivilDateOfUnixDay(c.unix_day));
  }
}

TEST(DateTime, UnixSecondsAndDateTimeOnOneClock) {
  const DateTime afternoon = 45216 + EncodeTime(12, 30, 5, 0);  // 2023-10-17
  const struct {
    std::int64_t seconds;
    DateTime value;
  } cases[] = {{0, 25569}, {-86400, 25568}, {1697545805, afternoon}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_DOUBLE_EQ(c.value, DateTimeOfUnixSeconds(static_cast<double>(c.seconds)));
    EXPECT_EQ(c.seconds, UnixSecondsOf(c.value));
    const auto moment = std::chrono::system_clock::from_time_t(c.seconds);
    EXPECT_DOUBLE_EQ(c.value, DateTimeOf(moment));
    EXPECT_EQ(c.seconds, UnixSecondsOf(moment));
    EXPECT_EQ(moment, std::chrono::floor<std::chrono::seconds>(TimePointOf(c.value)));
  }
  // A date-time's seconds round to the nearest; a clock's are cut towards
  // the past, so half a second before 1970 is still 1969.
  EXPECT_EQ(1, UnixSecondsOf(25569 + 0.6 / 86400));
  EXPECT_EQ(0, UnixSecondsOf(25569 + 0.4 / 86400));
  EXPECT_EQ(-1,
            UnixSecondsOf(std::chrono::system_clock::time_point(std::chrono::milliseconds(-500))));
}

TEST(DateTime, UtcOffsetIsWholeQuarterHoursWithinTheWidestZone) {
  const auto utc = std::chrono::system_clock::from_time_t(1697545805);
  const DateTime utc_value = DateTimeOf(utc);
  const struct {
    const char* name;
    double local_minus_utc_seconds;
    int offset;
  } cases[] = {
      {"UTC", 0, 0},
      {"Brasília", -3 * 3600, -180},
      {"Nepal", 5 * 3600 + 45 * 60, 345},
      {"read 40 s apart", -3 * 3600 + 40, -180},
      {"Kiribati", 14 * 3600, 840},
      {"no zone is 15 hours away", -15 * 3600, 0},
      {"a clock a day off", 86400, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.offset, UtcOffsetMinutes(utc_value + c.local_minus_utc_seconds / 86400, utc));
  }
}

}  // namespace
}  // namespace quilvane::platform
