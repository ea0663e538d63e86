// The import against the real Firebird server (label "integration"): where
// the commits fall, the day it reads, and what a bad line or file leaves.
// Which day a site records, and when, is the service's (its import tests).

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "db/error.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "platform/file.h"
#include "tests/db/site_components.h"
#include "tests/exchange/export_rows.h"
#include "tests/exchange/product_db.h"
#include "tests/support/expect_error.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::exchange {
namespace {

using testing::ProductDb;
using testing::Statement;
// The site's database components, as the cycle wires them.
using Components = quilvane::testing::SiteComponents;

// The import as the cycle runs it: with QExec in TRQExec.
ImportResult ImportPrices(Components& c, const std::string& path, platform::DateTime last) {
  return exchange::ImportPrices(c.Connvelstrand, c.QExec, c.TRQExec, path, last,
                                platform::Env::Default());
}

// Products P0001..P<n> with PRECOVENDA 1, and a trigger that records the
// transaction of every update, to see where the commits fell.
std::string SeedProducts(int n) {
  return "CREATE TABLE TRLOG (TR BIGINT, CODIGO VARCHAR(20));\n"
         "SET TERM ^;\n"
         "CREATE TRIGGER PRODUTOS_AU FOR PRODUTOS AFTER UPDATE AS BEGIN"
         " INSERT INTO TRLOG VALUES (CURRENT_TRANSACTION, NEW.CODIGO); END^\n"
         "EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN WHILE (I <= " +
         std::to_string(n) +
         ") DO BEGIN INSERT INTO PRODUTOS (CODIGO, PRECOVENDA, TIPOPROMOCAO)"
         " VALUES ('P' || LPAD(:I, 4, '0'), 1, 'A'); I = I + 1; END END^\n"
         "SET TERM ;^\n";
}

std::string Code(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "'P%04d'", i);
  return buf;
}

// A statement for product i that sets PRECOVENDA to i + 0.5 and TIPOPROMOCAO
// to `tipo`.
std::string PriceLine(int i, const std::string& tipo = "'B'") {
  std::vector<std::string> literals(kStatementPartCount, "NULL");
  literals[3] = std::to_string(i) + ".50";
  literals[4] = tipo;
  literals[24] = Code(i);
  return Statement(literals, false);
}

std::string ScriptOf(const std::string& date_line, int n) {
  std::string s = date_line + "\r\n";
  for (int i = 1; i <= n; ++i) s += PriceLine(i) + "\r\n";
  return s;
}

// Statements per transaction, in commit order.
std::vector<int> Transactions(Components& c) {
  db::Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT COUNT(*) FROM TRLOG GROUP BY TR ORDER BY TR");
  q.Open();
  q.FetchAll();
  std::vector<int> counts;
  for (q.First(); !q.Eof(); q.Next()) counts.push_back(static_cast<int>(q.Fields(0).AsInteger()));
  q.Close();
  return counts;
}

// PRECOVENDA (ten-thousandths) by code.
std::map<std::string, std::int64_t> Prices(Components& c) {
  db::Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT CODIGO, PRECOVENDA FROM PRODUTOS");
  q.Open();
  q.FetchAll();
  std::map<std::string, std::int64_t> prices;
  for (q.First(); !q.Eof(); q.Next()) {
    prices[q.Fields(0).AsString()] = q.Fields(1).AsCurrency();
  }
  q.Close();
  return prices;
}

platform::DateTime Day(int y, int m, int d) { return *platform::TryEncodeDate(y, m, d); }

class ImportDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pdb_.ok());
    ASSERT_TRUE(pdb_.Run(SeedProducts(600)));
    pdb_.Connect(c_);
  }
  ImportResult Import(const std::string& script, platform::DateTime last) {
    dir_.Write("1.SQL", script);
    return ImportPrices(c_, dir_.File("1.SQL"), last);
  }

  quilvane::testing::FakeEnv env_;
  quilvane::testing::TempDir dir_;
  ProductDb pdb_;
  Components c_{platform::Env::Default()};
};

TEST_F(ImportDbTest, CommitsEvery250StatementsAndAfterTheLast) {
  const struct {
    int statements;
    std::vector<int> transactions;
  } cases[] = {
      {0, {}},
      {250, {250}},
      {251, {250, 1}},
      {500, {250, 250}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.statements);
    ASSERT_TRUE(
        pdb_.Run("DELETE FROM TRLOG; UPDATE PRODUTOS SET PRECOVENDA = 1;"
                 " DELETE FROM TRLOG;"));
    const ImportResult r = Import(ScriptOf("16/10/2023", k.statements), Day(2023, 10, 15));
    EXPECT_TRUE(r.applied);
    EXPECT_EQ(r.statements, k.statements);
    EXPECT_FALSE(c_.TRQExec.InTransaction());
    EXPECT_EQ(Transactions(c_), k.transactions);
    const auto prices = Prices(c_);
    for (int i = 1; i <= 600; ++i) {
      ASSERT_EQ(prices.at(Code(i).substr(1, 5)), i <= k.statements ? i * 10000 + 5000 : 10000) << i;
    }
    EXPECT_EQ(r.day, Day(2023, 10, 16));
  }
}

TEST_F(ImportDbTest, FileNotNewerChangesNothing) {
  for (const char* line : {"17/10/2023", "16/10/2023"}) {
    const ImportResult r = Import(ScriptOf(line, 3), Day(2023, 10, 17) + 0.9);
    EXPECT_FALSE(r.applied);
    EXPECT_EQ(r.statements, 0);
    EXPECT_FALSE(c_.TRQExec.InTransaction());
    EXPECT_TRUE(Transactions(c_).empty());
    EXPECT_EQ(r.day, 0);
  }
}

TEST_F(ImportDbTest, ReadsTheDateDayFirstWhateverTheRegion) {
  platform::FormatSettings fs;
  fs.date_separator = '.';
  fs.short_date_format = "MM/dd/yyyy";  // month first here: the file is still day first
  env_.set_regional(fs);
  env_.SetNow(2023, 10, 17);
  ImportResult r = Import(ScriptOf("05-10-2023", 1), Day(2023, 5, 9));
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.day, Day(2023, 10, 5));
  // A head office whose clock runs ahead: its day as it stands.
  r = Import(ScriptOf("20/12/2023", 1), Day(2023, 10, 5));
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.day, Day(2023, 12, 20));
}

TEST_F(ImportDbTest, TheImportReturnsTheFilesDayAndRecordsNothingItself) {
  // Recording is the cycle's: the exchange layer only says which day.
  env_.SetNow(2023, 10, 17);
  dir_.Write("1.SQL", ScriptOf("20/12/2023", 2));
  const ImportResult r = exchange::ImportPrices(c_.Connvelstrand, c_.QExec, c_.TRQExec,
                                                dir_.File("1.SQL"), Day(2023, 10, 1), env_);
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.statements, 2);
  EXPECT_EQ(r.day, Day(2023, 12, 20));
  EXPECT_FALSE(platform::FileExists(dir_.File("Quilvane.ini")));
}

TEST_F(ImportDbTest, InvalidDateLineExecutesNothing) {
  for (const char* line : {"10/17/2023", "", "UPDATE PRODUTOS SET PRECOVENDA = 1"}) {
    try {
      Import(ScriptOf(line, 2), Day(2000, 1, 1));
      ADD_FAILURE() << "no error for " << line;
    } catch (const platform::Error& e) {
      EXPECT_EQ(e.what(), "'" + std::string(line) + "' is not a valid date");
    }
  }
  EXPECT_TRUE(Transactions(c_).empty());
}

TEST_F(ImportDbTest, MissingFileIsFileNotFound) {
  EXPECT_TRUE(quilvane::testing::ThrowsWithText<platform::Error>(
      [&] { ImportPrices(c_, dir_.File("none.SQL"), Day(2000, 1, 1)); }, "File not found"));
}

TEST_F(ImportDbTest, ForbiddenLineRefusesTheWholeFile) {
  const std::string bad[] = {
      "UPDATE PRODUTOS SET PRECOVENDA = 0",
      PriceLine(8) + "; DELETE FROM PRODUTOS",
      PriceLine(8, "'B'' OR ''1''=''1'") + " OR 1=1",
      PriceLine(8, "'B"),
      PriceLine(8) + " -- x",
      "DELETE FROM PRODUTOS",
      "",
      PriceLine(8, "'" + std::string(kMaxLineLength, 'x') + "'"),
  };
  for (const auto& line : bad) {
    std::string script = "16/10/2023\r\n";
    for (int i = 1; i <= 300; ++i) script += (i == 280 ? line : PriceLine(i)) + "\r\n";
    try {
      Import(script, Day(2023, 10, 1));
      ADD_FAILURE() << "accepted " << line.substr(0, 200);
    } catch (const ForbiddenLineError& e) {
      EXPECT_EQ(e.line(), 281);
      EXPECT_STREQ(e.what(), "Comando não permitido na linha 281 do arquivo de sincronização");
    }
    EXPECT_FALSE(c_.TRQExec.InTransaction());
    EXPECT_TRUE(Transactions(c_).empty());
  }
  EXPECT_EQ(Prices(c_).at("P0001"), 10000);
}

// The outcome line-by-line execution gives, whichever path the import takes:
// the batch's statements before the failing one applied (committed when the
// connection closes), it and the later ones not, and its own error.
TEST_F(ImportDbTest, RejectedStatementMidBatchEndsTheImportThere) {
  const std::string failing = PriceLine(270, "'TOO LONG'");  // TIPOPROMOCAO is CHAR(1)
  std::string expected_message;
  {
    Components other{platform::Env::Default()};
    pdb_.Connect(other);
    other.TRQExec.StartTransaction();
    try {
      other.QExec.ExecSQL(failing);
      FAIL() << "the statement does not fail alone";
    } catch (const db::DbError& e) {
      expected_message = e.what();
    }
    other.TRQExec.Rollback();
  }
  std::string script = "16/10/2023\r\n";
  for (int i = 1; i <= 300; ++i) script += (i == 270 ? failing : PriceLine(i)) + "\r\n";
  try {
    Import(script, Day(2023, 10, 1));
    FAIL() << "no error";
  } catch (const db::DbError& e) {
    EXPECT_EQ(e.what(), expected_message);
  }
  EXPECT_TRUE(c_.TRQExec.InTransaction());
  c_.Connvelstrand.Disconnect();  // the cycle's cleanup: commits the open batch

  Components check{platform::Env::Default()};
  pdb_.Connect(check);
  EXPECT_EQ(Transactions(check), (std::vector<int>{250, 19}));
  const auto prices = Prices(check);
  for (int i = 1; i <= 300; ++i) {
    ASSERT_EQ(prices.at(Code(i).substr(1, 5)), i < 270 ? i * 10000 + 5000 : 10000) << i;
  }
}

TEST_F(ImportDbTest, StatementForAnUnknownCodeCountsAsExecuted) {
  std::vector<std::string> literals(kStatementPartCount, "NULL");
  literals[24] = "'NOPE'";
  const ImportResult r =
      Import("16/10/2023\r\n" + Statement(literals, true) + "\r\n" + PriceLine(1) + "\r\n",
             Day(2023, 10, 1));
  EXPECT_EQ(r.statements, 2);
  EXPECT_EQ(Transactions(c_), (std::vector<int>{1}));
}

// Long lines fill a block's text before 50 statements: the blocks are cut
// shorter, the commits stay where they were.
TEST_F(ImportDbTest, LongLinesCutBlocksButNotBatches) {
  ASSERT_TRUE(pdb_.Run("ALTER TABLE PRODUTOS ALTER PROMSOMENTEFEBRAFAR TYPE VARCHAR(4000);"));
  std::string script = "16/10/2023\r\n";
  for (int i = 1; i <= 260; ++i) {
    std::vector<std::string> literals(kStatementPartCount, "NULL");
    literals[3] = std::to_string(i) + ".50";
    literals[21] = "'" + std::string(3000, 'S') + "'";
    literals[24] = Code(i);
    script += Statement(literals, false) + "\r\n";
  }
  const ImportResult r = Import(script, Day(2023, 10, 1));
  EXPECT_EQ(r.statements, 260);
  EXPECT_EQ(Transactions(c_), (std::vector<int>{250, 10}));
  EXPECT_EQ(Prices(c_).at("P0260"), 2605000);
}

}  // namespace
}  // namespace quilvane::exchange
