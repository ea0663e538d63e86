// The day the head office last published, read from the server's MDTM
// answer: a peer's text, so anything malformed is no day at all.
#include "sync/fleet_ftp.h"

#include <gtest/gtest.h>

namespace quilvane::sync {
namespace {

TEST(LocalDayOfMdtmTest, ReadsUtcAndShiftsToLocal) {
  struct Case {
    const char* mdtm;
    int offset;
    std::optional<Day> want;
  };
  const Case cases[] = {
      {"20231017083005", 0, Day{2023, 10, 17}},
      {"20231017083005.123", 0, Day{2023, 10, 17}},
      {"20231017013005", -180, Day{2023, 10, 16}},  // 22:30 the day before in Brasília
      {"20231231230000", 60, Day{2024, 1, 1}},
      {"20240229120000", 0, Day{2024, 2, 29}},
      {"20230229120000", 0, std::nullopt},  // no such day
      {"20231017253005", 0, std::nullopt},
      {"2023101708300", 0, std::nullopt},
      {"2023-10-17 08:30", 0, std::nullopt},
      {"20231017083005Z", 0, std::nullopt},
      {"", 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mdtm);
    EXPECT_EQ(c.want, LocalDayOfMdtm(c.mdtm, c.offset));
  }
}

}  // namespace
}  // namespace quilvane::sync
