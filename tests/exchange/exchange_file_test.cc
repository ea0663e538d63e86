#include "exchange/exchange_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/export.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "platform/env.h"
#include "platform/error.h"
#include "tests/db/site_components.h"
#include "tests/exchange/product_db.h"
#include "tests/support/fake_env.h"
#include "tests/support/firebird_db.h"
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
  quilvane::testing::TempDir dir;
  ExchangeFileWriter writer(dir.File("x.SQL"));
  writer.WriteLine("17/10/2023");
  writer.WriteLine("S\xc3\x83O JOS\xc3\x89 \xe2\x82\xac \xe4\xb8\xad");  // SÃO JOSÉ € 中
  writer.Close();
  EXPECT_EQ(dir.Read("x.SQL"), "17/10/2023\r\nS\xc3O JOS\xc9 \x80 ?\r\n");
}

TEST(ExchangeFileTest, WriterFlushesLargeFilesWhole) {
  quilvane::testing::TempDir dir;
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
  quilvane::testing::TempDir dir;
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
  quilvane::testing::TempDir dir;
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

  // A CR is no byte of the line, at the limit or past it.
  dir.Write("b", "0123456789\r\n01234\r56789\r\n0123456789\ry\n");
  EXPECT_EQ(ReadAll(dir.File("b"), 10),
            (std::vector<std::string>{"0123456789", "0123456789", "<too long>"}));
}

TEST(ExchangeFileTest, MissingFileIsFileNotFound) {
  quilvane::testing::TempDir dir;
  try {
    ExchangeFileReader reader(dir.File("missing.SQL"));
    FAIL() << "no error";
  } catch (const platform::Error& e) {
    EXPECT_STREQ(e.what(), "File not found");
  }
}

// Windows ERPs store Windows-1252 in their ISO8859_1 columns ("€", "“ ”",
// "–" as bytes 0x80-0x9F). The head office wrote those as '?' and a branch
// refused them; now the file carries the column's bytes as they are stored,
// as another site's program writes them, and the branch stores the same
// bytes.
TEST(ExchangeFileDbTest, ErpTextSurvivesExportAndImportByteForByte) {
  using quilvane::testing::FirebirdDb;
  quilvane::testing::FakeEnv env;
  env.SetNow(2023, 10, 17, 10, 0, 0);
  struct Row {
    std::string codigo, tipo, febrafar;
  };
  const Row rows[] = {
      {"A\x80\x93"
       "B\x96\x9F\xC7\xE3",
       "\x80", "\x93"},
      {"\x96\xC9\xFF", "\x96", "\x9F"},
      {"\x81\x8D\x8F\x90\x9D", "\x9F", "\xE7"},  // bytes Windows-1252 leaves undefined
      {"S\xC3O JOS\xC9 \x93"
       "A\x94",
       "\xC7", "\x81"},
  };
  testing::ProductDb head, branch;
  ASSERT_TRUE(head.ok());
  ASSERT_TRUE(branch.ok());
  for (const Row& r : rows) {
    ASSERT_TRUE(
        head.Run("INSERT INTO PRODUTOS (CODIGO, TIPOPROMOCAO, PROMSOMENTEFEBRAFAR,"
                 " PRECOVENDA) VALUES (" +
                 FirebirdDb::RawText(r.codigo) + ", " + FirebirdDb::RawText(r.tipo) + ", " +
                 FirebirdDb::RawText(r.febrafar) + ", 12.34);"));
    ASSERT_TRUE(branch.Run("INSERT INTO PRODUTOS (CODIGO, TIPOPROMOCAO, PRECOVENDA) VALUES (" +
                           FirebirdDb::RawText(r.codigo) + ", 'X', 1);"));
  }
  quilvane::testing::TempDir dir;
  {
    quilvane::testing::SiteComponents c{platform::Env::Default()};
    head.Connect(c);
    ExportPrices(c.TBProdutos, dir.File("1.SQL"), false, platform::Env::Default());
  }
  const std::string file = dir.Read("1.SQL");
  EXPECT_EQ(file.find('?'), std::string::npos) << file;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.codigo);
    EXPECT_NE(file.find(", TIPOPROMOCAO = '" + r.tipo + "', "), std::string::npos) << file;
    EXPECT_NE(file.find(", PROMSOMENTEFEBRAFAR = '" + r.febrafar + "', "), std::string::npos);
    EXPECT_NE(file.find(" WHERE CODIGO = '" + r.codigo + "'\r\n"), std::string::npos);
  }

  {
    quilvane::testing::SiteComponents c{platform::Env::Default()};
    branch.Connect(c);
    const ImportResult result =
        ImportPrices(c.Connvelstrand, c.QExec, c.TRQExec, dir.File("1.SQL"),
                     *platform::TryEncodeDate(2023, 10, 1), platform::Env::Default());
    EXPECT_TRUE(result.applied);
    EXPECT_EQ(result.statements, 4);
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.codigo);
    // Compared by the server, byte for byte.
    EXPECT_EQ(branch.Scalar(
                  "SELECT COUNT(*) FROM PRODUTOS WHERE CODIGO = " + FirebirdDb::RawText(r.codigo) +
                  " AND TIPOPROMOCAO = " + FirebirdDb::RawText(r.tipo) +
                  " AND PROMSOMENTEFEBRAFAR = " + FirebirdDb::RawText(r.febrafar) +
                  " AND PRECOVENDA = 12.34"),
              "1");
  }
}

}  // namespace
}  // namespace quilvane::exchange
