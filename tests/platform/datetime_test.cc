// Guards the date-time value every date of the system is held in.
#include "platform/datetime.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quilvane::platform
