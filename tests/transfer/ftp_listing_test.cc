// Listing lines are a peer's text: each format read as servers write it,
// every number checked, and a line that fits no format read as nothing.
#include "transfer/ftp_listing.h"

#include <gtest/gtest.h>

namespace quilvane::transfer {
namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kDay = 86400;
// 2026-12-10 12:00:00 UTC.
constexpr std::int64_t kNow = 1796904000;
constexpr std::int64_t k20261210_0830 = 1796891400;

struct Want {
  std::string name;
  bool file = true;
  std::optional<std::uint64_t> size;
  std::optional<ListedTime> modified;
};

void ExpectEntry(const std::optional<ListedEntry>& got, const std::optional<Want>& want) {
  ASSERT_EQ(want.has_value(), got.has_value());
  if (!want) return;
  EXPECT_EQ(want->name, got->name);
  EXPECT_EQ(want->file, got->file);
  EXPECT_EQ(want->size, got->size);
  EXPECT_EQ(want->modified, got->modified);
}

TEST(ParseMlsdLineTest, ReadsFactsInAnyOrderAndCase) {
  struct Case {
    const char* line;
    std::optional<Want> want;
  };
  const ListedTime at{k20261210_0830 + 5, 1, true};
  const Case cases[] = {
      {"type=file;size=812;modify=20261210083005;perm=r; 12345678000271.txt",
       Want{"12345678000271.txt", true, 812, at}},
      {"Modify=20261210083005.250;Size=812;Type=file; a b.txt", Want{"a b.txt", true, 812, at}},
      {"type=dir;modify=20261210083005; recibos", Want{"recibos", false, std::nullopt, at}},
      {"type=cdir; .", Want{".", false, std::nullopt, std::nullopt}},
      // Numbers that overflow or are not numbers are no fact at all.
      {"type=file;size=99999999999999999999;modify=20261210083005; x.txt",
       Want{"x.txt", true, std::nullopt, at}},
      {"type=file;size=-1;modify=2026121008300; x.txt",
       Want{"x.txt", true, std::nullopt, std::nullopt}},
      {"type=file;size=12;modify=20260230083005; x.txt",
       Want{"x.txt", true, 12, std::nullopt}},                    // no 30 February
      {"type=file;size=12;modify=20261210083005", std::nullopt},  // no name
      {"type=file;size=12; ", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ExpectEntry(ParseMlsdLine(c.line), c.want);
  }
}

TEST(ParseListLineTest, ReadsUnixAndDosLines) {
  struct Case {
    const char* line;
    std::optional<Want> want;
  };
  const ListedTime minute{k20261210_0830, kMinute, false};
  const ListedTime pm{k20261210_0830 + 12 * 3600, kMinute, false};
  const ListedTime last_year{k20261210_0830 - 365 * kDay, kMinute, false};  // 2025-12-10
  const ListedTime day{1733788800, kDay, false};                            // 2024-12-10
  const Case cases[] = {
      {"-rw-r--r--   1 ftp      ftp           812 Dec 10 08:30 12345678000271.txt",
       Want{"12345678000271.txt", true, 812, minute}},
      {"-rw-r--r--   1 owner    812 Dec 10 08:30 no group.txt",
       Want{"no group.txt", true, 812, minute}},
      {"-rw-r--r--   1 ftp ftp 812 dec 10  2024 old.txt", Want{"old.txt", true, 812, day}},
      // A day past today without a year is last year's.
      {"-rw-r--r--   1 ftp ftp 812 Dec 12 08:30 x.txt",
       Want{"x.txt", true, 812,
            ListedTime{k20261210_0830 + 2 * kDay - 365 * kDay, kMinute, false}}},
      {"-rw-r--r--   1 ftp ftp 812 Dec 10 08:30 x.txt ", Want{"x.txt", true, 812, minute}},
      {"drwxr-xr-x   2 ftp ftp 4096 Dec 10 08:30 recibos", Want{"recibos", false, 4096, minute}},
      {"lrwxrwxrwx   1 ftp ftp 8 Dec 10 08:30 a.txt -> b.txt",
       Want{"a.txt", true, std::nullopt, std::nullopt}},
      {"12-10-26  08:30AM                  812 dos.txt", Want{"dos.txt", true, 812, minute}},
      {"12-10-2026  08:30PM       812 dos.txt", Want{"dos.txt", true, 812, pm}},
      {"12-10-25  08:30          812 dos.txt", Want{"dos.txt", true, 812, last_year}},
      {"12-10-26  12:05AM       <DIR>          pasta",
       Want{"pasta", false, std::nullopt,
            ListedTime{k20261210_0830 - 8 * 3600 - 25 * kMinute, kMinute, false}}},
      // Broken lines: none of them is a guess.
      {"-rw-r--r--   1 ftp ftp 99999999999999999999 Dec 10 08:30 x.txt", std::nullopt},
      {"-rw-r--r--   1 ftp ftp 812 Foo 10 08:30 x.txt", std::nullopt},
      {"-rw-r--r--   1 ftp ftp 812 Dec 10 08:30", std::nullopt},
      {"12-10-26  13:30PM       812 dos.txt", std::nullopt},
      {"12-40-26  08:30AM       812 dos.txt", Want{"dos.txt", true, 812, std::nullopt}},
      {"12-10-26  08:30AM       8x2 dos.txt", std::nullopt},
      {"total 12", std::nullopt},
      {"", std::nullopt},
      {"garbage", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ExpectEntry(ParseListLine(c.line, kNow), c.want);
  }
}

TEST(ParseSizeTextTest, DigitsOnlyAndBounded) {
  EXPECT_EQ(812u, ParseSizeText("812"));
  EXPECT_EQ(812u, ParseSizeText(" 812 "));
  EXPECT_EQ(0u, ParseSizeText("0"));
  EXPECT_EQ(std::nullopt, ParseSizeText(""));
  EXPECT_EQ(std::nullopt, ParseSizeText("-1"));
  EXPECT_EQ(std::nullopt, ParseSizeText("12 bytes"));
  EXPECT_EQ(std::nullopt, ParseSizeText("18446744073709551616"));
  EXPECT_EQ(std::nullopt, ParseSizeText(std::to_string(kMaxListedSize + 1)));
}

}  // namespace
}  // namespace quilvane::transfer
