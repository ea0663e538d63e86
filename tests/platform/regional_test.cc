// Guards the date text of the settings file, the exchange file's first line
// and the log stamps, under different regional settings.
#include "platform/regional.h"

#include <gtest/gtest.h>

namespace quilvane::platform {
namespace {

const FormatSettings kBrazil{};
const FormatSettings kUs{'/', ':', '.', "M/d/yyyy"};
const FormatSettings kDashes{'-', '.', ',', "dd/MM/yyyy"};
const FormatSettings kIso{'-', ':', '.', "yyyy/MM/dd"};

DateTime Day(int y, int m, int d) { return *TryEncodeDate(y, m, d); }

TEST(Regional, FormatsShortDates) {
  const DateTime d = Day(2023, 2, 7);
  EXPECT_EQ("07/02/2023", FormatShortDate(d, kBrazil));
  EXPECT_EQ("2/7/2023", FormatShortDate(d, kUs));
  EXPECT_EQ("07-02-2023", FormatShortDate(d, kDashes));
  EXPECT_EQ("2023-02-07", FormatShortDate(d, kIso));
  EXPECT_EQ("07/02/23", FormatShortDate(d, {'/', ':', ',', "dd/MM/yy"}));
}

TEST(Regional, LogStampUsesRegionalSeparators) {
  const DateTime t = Day(2023, 10, 17) + EncodeTime(14, 5, 9, 700);
  EXPECT_EQ("17/10/2023 14:05:09", FormatLogStamp(t, kBrazil));
  EXPECT_EQ("17-10-2023 14.05.09", FormatLogStamp(t, kDashes));
}

struct ParseCase {
  const char* text;
  const FormatSettings* fs;
  DateTime expected;
};

TEST(Regional, ParsesDates) {
  const ParseCase cases[] = {
      {"17/10/2023", &kBrazil, Day(2023, 10, 17)},
      {"1/2/23", &kBrazil, Day(2023, 2, 1)},  // two-digit year in the window
      {"1/2/72", &kBrazil, Day(2072, 2, 1)},  // current year 2023: the window is 1973..2072
      {"1/2/73", &kBrazil, Day(1973, 2, 1)},
      {"17/10", &kBrazil, Day(2023, 10, 17)},  // the current year
      {" 17 / 10 / 2023 ", &kBrazil, Day(2023, 10, 17)},
      {"17/10/2023/", &kBrazil, Day(2023, 10, 17)},
      {"2/7/2023", &kUs, Day(2023, 2, 7)},
      {"07-02-2023", &kDashes, Day(2023, 2, 7)},
      {"2023-02-07", &kIso, Day(2023, 2, 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.expected, ParseShortDate(c.text, *c.fs, 2023).value_or(-1));
  }
}

TEST(Regional, RefusesWhatIsNoDate) {
  const char* bad[] = {"",           "17",           "32/10/2023",        "29/02/2023",
                       "17/13/2023", "17.10.2023",   "17/10/2023x",       "17//10/2023",
                       "1/2/3/4",    "\t17/10/2023", "17/10/99999999999", "-1/10/2023"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseShortDate(text, kBrazil, 2023).has_value());
  }
}

TEST(Regional, OppositeOrderReadsDifferently) {
  // Written under day-month-year, read under month-day-year.
  EXPECT_EQ(Day(2023, 2, 7), ParseShortDate("2/7/2023", kUs, 2023).value());
  EXPECT_FALSE(ParseShortDate("17/10/2023", kUs, 2023).has_value());
}

}  // namespace
}  // namespace quilvane::platform
