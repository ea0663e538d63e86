#include "db/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace quilvane::db::convert {
namespace {

TEST(ScaledToCurrency, ExactUpToFourDecimalsRoundedBeyond) {
  struct Case {
    std::int64_t value;
    int scale;
    std::optional<std::int64_t> want;
  } cases[] = {
      {7, 0, 70000},
      {-7, 0, -70000},
      {1250, -2, 125000},    // 12.50
      {-1234, -3, -12340},   // -1.234
      {31416, -4, 31416},    // 3.1416
      {2123456, -6, 21235},  // 2.123456 -> 2.1235
      {-2123456, -6, -21235},
      {200005, -5, 20000},  // 2.00005: half goes to the even 2.0000
      {200015, -5, 20002},  // 2.00015: half goes to the even 2.0002
      {-200015, -5, -20002},
      {200016, -5, 20002},
      {123, -8, 0},     // 0.00000123
      {5, 2, 5000000},  // 5e2
      {922337203685477, 0, 9223372036854770000},
      {922337203685478, 0, std::nullopt},  // out of range, not wrapped
      {std::numeric_limits<std::int64_t>::min(), 0, std::nullopt},
      {std::numeric_limits<std::int64_t>::max(), -18, 92234},
      {std::numeric_limits<std::int64_t>::min(), -30, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScaledToCurrency(c.value, c.scale), c.want) << c.value << "e" << c.scale;
  }
}

TEST(DoubleToCurrency, NearestTiesToEven) {
  struct Case {
    double value;
    std::optional<std::int64_t> want;
  } cases[] = {
      {0.03125, 312},  // exactly 312.5 ten-thousandths
      {0.09375, 938},  // exactly 937.5
      {-0.03125, -312},
      {12.5, 125000},
      {0.1, 1000},
      {1e15, std::nullopt},
      {-1e15, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(DoubleToCurrency(c.value), c.want) << c.value;
}

TEST(ScaledToText, ShortestFormWithRegionalSeparator) {
  struct Case {
    std::int64_t value;
    int scale;
    const char* want;
  } cases[] = {
      {0, 0, "0"},
      {-5, 0, "-5"},
      {1250, -2, "12,5"},
      {1200, -2, "12"},
      {-1234, -3, "-1,234"},
      {5, -4, "0,0005"},
      {-5, -4, "-0,0005"},
      {0, -2, "0"},
      {std::numeric_limits<std::int64_t>::min(), 0, "-9223372036854775808"},
  };
  for (const Case& c : cases) EXPECT_EQ(ScaledToText(c.value, c.scale, ','), c.want);
  EXPECT_EQ(ScaledToText(1250, -2, '.'), "12.5");
}

TEST(IscDates, DayZeroIsThe30thOfDecember1899) {
  EXPECT_EQ(FromIscDate(15018), 0.0);
  EXPECT_EQ(FromIscDate(15019), 1.0);
  EXPECT_DOUBLE_EQ(FromIscTime(12 * 3600 * 10000), 0.5);
}

TEST(TextToDateTime, RegionalDateWithOptionalTime) {
  platform::FormatSettings fs;  // dd/MM/yyyy, ':'
  const auto day = *platform::TryEncodeDate(2026, 3, 31);
  EXPECT_EQ(TextToDateTime("31/03/2026", fs, 2026), day);
  EXPECT_EQ(TextToDateTime("31/03/2026   ", fs, 2026), day);
  EXPECT_DOUBLE_EQ(*TextToDateTime("31/03/2026 12:00", fs, 2026), day + 0.5);
  EXPECT_DOUBLE_EQ(*TextToDateTime("31/03/2026 06:00:00", fs, 2026), day + 0.25);
  for (const char* bad : {"", "   ", "31/02/2026", "abc", "31/03/2026 25:00",
                          "31/03/2026 12:", "31/03/2026 1:2:3:4"}) {
    EXPECT_FALSE(TextToDateTime(bad, fs, 2026)) << bad;
  }
}

}  // namespace
}  // namespace quilvane::db::convert
