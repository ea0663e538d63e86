#include "exchange/exchange_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/format.h"
#include "platform/error.h"
#include "tests/support/temp_dir.h"

namespace quilvane::exchange {
namespace {

using Status = ExchangeFileReader::Status;

std::vector<std::string> ReadAll(const std::string& path, std::size_t max = kMaxLineLength) {
  ExchangeFileReader reader(path);
  std::vector<std::string> lines;
  std::string line;
  Status s;
  while ((s = reader.ReadLine(line, max)) != Status::kEnd) {
    lines.push_back(s == Status::kTooLong ? "<too long>" : line);
  }
  return lines;
}

TEST(ExchangeFileTest, WriterEndsEveryLineWithCrLfInWindows1252) {
  testing::TempDir dir;
  ExchangeFileWriter writer(dir.File("x.SQL"));
  writer.WriteLine("17/10/2023");
  writer.WriteLine("S\xc3\x83O JOS\xc3\x89 \xe2\x82\xac \xe4\xb8\xad");  // SÃO JOSÉ € 中
  writer.Close();
  EXPECT_EQ(dir.Read("x.SQL"), "17/10/2023\r\nS\xc3O JOS\xc9 \x80 ?\r\n");
}

TEST(ExchangeFileTest, WriterFlushesLargeFilesWhole) {
  testing::TempDir dir;
  std::string expected;
  {
    ExchangeFileWriter writer(dir.File("x.SQL"));
    for (int i = 0; i < 20000; ++i) {
      const std::string line = "line " + std::to_string(i) + std::string(40, 'x');
      writer.WriteLine(line);
      expected += line + "\r\n";
    }
    writer.Close();
  }
  EXPECT_EQ(dir.Read("x.SQL"), expected);
}

TEST(ExchangeFileTest, DateLineUsesTheRegionalSeparator) {
  platform::FormatSettings fs;
  const auto day = *platform::TryEncodeDate(2023, 3, 5);
  EXPECT_EQ(FormatExchangeDate(day, fs), "05/03/2023");
  fs.date_separator = '-';
  fs.short_date_format = "MM/dd/yyyy";  // the order never changes
  EXPECT_EQ(FormatExchangeDate(day + 0.99, fs), "05-03-2023");
}

TEST(ExchangeFileTest, DateLineIsReadDayFirstWithAnySeparator) {
  const auto oct17 = *platform::TryEncodeDate(2023, 10, 17);
  const auto may10 = *platform::TryEncodeDate(2023, 10, 5);
  const struct {
    const char* line;
    std::optional<platform::DateTime> expected;
  } cases[] = {
      {"17/10/2023", oct17},
      {"17.10.2023", oct17},
      {"17-10-2023", oct17},
      {" 17 / 10 / 2023 ", oct17},
      {"05/10/2023", may10},
      {"17/10/23", oct17},
      {"17/10", oct17},  // the current year
      {"10/17/2023", std::nullopt},
      {"17/10-2023", std::nullopt},
      {"17102023", std::nullopt},
      {"", std::nullopt},
      {"31/02/2023", std::nullopt},
      {"17/10/2023 12:00", std::nullopt},
      {"UPDATE PRODUTOS", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseExchangeDate(c.line, 2023), c.expected) << c.line;
  }
}

TEST(ExchangeFileTest, ReaderDropsCarriageReturnsAndReadsTheLastUnendedLine) {
  testing::TempDir dir;
  dir.Write("a", "one\r\ntw\ro\n\nthree");
  EXPECT_EQ(ReadAll(dir.File("a")), (std::vector<std::string>{"one", "two", "", "three"}));
  dir.Write("b", "one\r\n");
  EXPECT_EQ(ReadAll(dir.File("b")), (std::vector<std::string>{"one"}));
  dir.Write("c", "");
  EXPECT_TRUE(ReadAll(dir.File("c")).empty());
  dir.Write("d", "\r\n\r\n");
  EXPECT_EQ(ReadAll(dir.File("d")), (std::vector<std::string>{"", ""}));
}

TEST(ExchangeFileTest, ReaderRefusesToHoldAnOverlongLine) {
  testing::TempDir dir;
  const std::string big(600000, 'x');  // spans several buffers
  dir.Write("a", "short\r\n" + big + "\r\nafter\r\n" + std::string(10, 'y'));
  ExchangeFileReader reader(dir.File("a"));
  std::string line;
  EXPECT_EQ(reader.ReadLine(line, 10), Status::kLine);
  EXPECT_EQ(line, "short");
  EXPECT_EQ(reader.ReadLine(line, 10), Status::kTooLong);
  EXPECT_EQ(line, "xxxxxxxxxx");
  EXPECT_EQ(reader.line_number(), 2);
  EXPECT_EQ(reader.ReadLine(line, 10), Status::kLine);
  EXPECT_EQ(line, "after");
  EXPECT_EQ(reader.ReadLine(line, 10), Status::kLine);  // exactly the limit
  EXPECT_EQ(reader.ReadLine(line, 10), Status::kEnd);
  EXPECT_EQ(reader.line_number(), 4);
}

TEST(ExchangeFileTest, MissingFileIsFileNotFound) {
  testing::TempDir dir;
  try {
    ExchangeFileReader reader(dir.File("missing.SQL"));
    FAIL() << "no error";
  } catch (const platform::Error& e) {
    EXPECT_STREQ(e.what(), "File not found");
  }
}

}  // namespace
}  // namespace quilvane::exchange
