// The export against the real Firebird server (label "integration"): the
// exchange file byte for byte, and its failures.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/error.h"
#include "exchange/export.h"
#include "exchange/format.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "tests/db/site_components.h"
#include "tests/exchange/export_rows.h"
#include "tests/exchange/product_db.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::exchange {
namespace {

using testing::ProductDb;
using testing::Statement;
// The site's database components, as the cycle wires them.
using Components = quilvane::testing::SiteComponents;
using testing::kExportRows;

// The export as the cycle runs it: from TBProdutos.
void ExportPrices(Components& c, const std::string& path, bool popular) {
  exchange::ExportPrices(c.TBProdutos, path, popular, platform::Env::Default());
}

std::vector<std::vector<std::string>> ExpectedLiterals() {
  const std::string N = "NULL";
  return {
      {"10.50",
       "35.00",
       "9.99",
       "14.18",
       "'1'",
       "'10/1/2023'",
       "'10/31/2023'",
       "5.00",
       N,
       "13.47",
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       "3.000",
       "39.90",
       N,
       N,
       "'N'",
       N,
       N,
       "'7891234'"},
      {N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, "'ZERO'"},
      {"-3.00", "1.24", "-0.01", "0.12", "''''",  N,        "'12/30/1899'", N, N,
       N,       N,      "1.235", N,      "2.000", "-1.000", "1.236",        N, N,
       N,       N,      N,       "''''", N,       N,        "'D''AVILA'"},
      {N,
       "1.24",
       N,
       "1234567.89",
       "'\xc3\x89'",
       "'3/5/2024'",
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       N,
       "'\xc3\xa3'",
       N,
       "0.01",
       "'A\xc3\x87\xc3\x9a"
       "CAR '"},
      {N, N, N, "0.00", N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N, N},
  };
}

// The bytes of the exchange file for those rows (Windows-1252, CR LF).
std::string ExpectedFile(const std::string& date_line, bool popular) {
  std::string out = date_line + "\r\n";
  for (const auto& literals : ExpectedLiterals()) {
    out += platform::Utf8ToAnsi(Statement(literals, popular)) + "\r\n";
  }
  return out;
}

TEST(ExportDbTest, WritesTheExpectedFileByteForByte) {
  quilvane::testing::FakeEnv env;
  env.SetNow(2023, 10, 17, 23, 59, 59);
  ProductDb pdb;
  ASSERT_TRUE(pdb.ok());
  ASSERT_TRUE(pdb.Run(kExportRows));
  quilvane::testing::TempDir dir;

  Components c{platform::Env::Default()};
  pdb.Connect(c);
  ExportPrices(c, dir.File("1.SQL"), false);
  EXPECT_EQ(dir.Read("1.SQL"), ExpectedFile("17/10/2023", false));
  EXPECT_TRUE(c.TBProdutos.Active());  // the cycle's cleanup closes it
  c.TBProdutos.Close();

  platform::FormatSettings fs;
  fs.date_separator = '-';
  fs.decimal_separator = ',';
  fs.short_date_format = "MM/dd/yyyy";
  env.set_regional(fs);
  ExportPrices(c, dir.File("2.SQL"), true);
  EXPECT_EQ(dir.Read("2.SQL"), ExpectedFile("17-10-2023", true));
}

TEST(ExportDbTest, EmptyTableGivesTheDateLineOnly) {
  quilvane::testing::FakeEnv env;
  ProductDb pdb;
  ASSERT_TRUE(pdb.ok());
  quilvane::testing::TempDir dir;
  Components c{platform::Env::Default()};
  pdb.Connect(c);
  ExportPrices(c, dir.File("x.SQL"), true);
  EXPECT_EQ(dir.Read("x.SQL"), "17/10/2023\r\n");
}

TEST(ExportDbTest, FileThatCannotBeCreatedIsAnError) {
  quilvane::testing::FakeEnv env;
  ProductDb pdb;
  ASSERT_TRUE(pdb.ok());
  quilvane::testing::TempDir dir;
  Components c{platform::Env::Default()};
  pdb.Connect(c);
  EXPECT_THROW(ExportPrices(c, dir.File("no/such/folder/x.SQL"), false), platform::SystemError);
}

TEST(ExportDbTest, MissingColumnFailsAndLeavesTheFileClosed) {
  quilvane::testing::FakeEnv env;
  ProductDb pdb;
  ASSERT_TRUE(pdb.ok());
  ASSERT_TRUE(pdb.Run("ALTER TABLE PRODUTOS DROP PRECOFARMACIAPOPULAR;"));
  quilvane::testing::TempDir dir;
  Components c{platform::Env::Default()};
  pdb.Connect(c);
  EXPECT_THROW(ExportPrices(c, dir.File("x.SQL"), false), db::DbError);
  EXPECT_TRUE(platform::DeleteFile(dir.File("x.SQL")));
}

}  // namespace
}  // namespace quilvane::exchange
