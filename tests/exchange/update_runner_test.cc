// The import's prepared path against the literal one, on the real Firebird
// server (label "integration"): the same lines, once through UpdateRunner
// and once executed as written, must leave the same rows and fail alike.

#include "exchange/update_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "db/error.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/file.h"
#include "tests/support/temp_dir.h"

#include "tests/exchange/update_runner_fixture.h"

namespace quilvane::exchange {
namespace {

using testing_support::Line;
using testing_support::Overrides;
using testing_support::UpdateRunnerDbTest;

// Literals of every kind into every column kind of the fixture (NUMERIC and
// DECIMAL of several scales, SMALLINT, INTEGER, BIGINT, DOUBLE PRECISION,
// DATE, TIMESTAMP, CHAR, VARCHAR), with the server's own rounding, padding
// and conversions.
TEST_F(UpdateRunnerDbTest, PreparedPathLeavesTheRowsTheLiteralPathLeaves) {
  const std::vector<Overrides> prepared_cases = {
      {},
      // Halves at every scale up to the fourth decimal, both signs.
      {{"PRECOCUSTO", "1.0005"},
       {"LUCRO", "1.0005"},
       {"PRECOVENDA", "0.125"},
       {"DESCPROMVISTA", "10.005"},
       {"PROMQTDMINIMAVISTA", "2.5"},
       {"PROMLEVEPRAZO", "7.5"}},
      {{"PRECOCUSTO", "-1.0005"},
       {"LUCRO", "-1.0005"},
       {"PRECOVENDA", "-0.125"},
       {"DESCPROMVISTA", "-10.005"},
       {"PROMQTDMINIMAVISTA", "-2.5"},
       {"PROMLEVEPRAZO", "-7.5"}},
      {{"LUCRO", "2.0015"},
       {"PRECOVENDA", "0.135"},
       {"PROMQTDMINIMAPRAZO", "3.5"},
       {"PROMPAGUEVISTA", "0.5"},
       {"PRECOPROMVISTA", "1.2345"},
       {"DESCPROMPRAZO", "0.1"}},
      // Negative zero, trailing zeros, the longest exact numbers.
      {{"PRECOCUSTO", "-0"},
       {"LUCRO", "-0.00"},
       {"PRECOVENDA", "-0.0000"},
       {"PROMQTDMINIMAVISTA", "-0.000"},
       {"PRECOPROMVISTA", "12.3450000000"},
       {"PRECOPROMPRAZO", "99999999999999.9999"},
       {"PROMDESCRESIDUALPRAZO", "1.005"}},
      // Dates, the zero date, a leap day, into DATE and TIMESTAMP.
      {{"INICIOPROM", "'12/30/1899'"}, {"FINALPROM", "'12/30/1899'"}},
      {{"INICIOPROM", "'2/29/2024'"}, {"FINALPROM", "'1/1/2000'"}},
      // NULL everywhere.
      [] {
        Overrides all;
        for (const StatementPart& part : kStatementParts) all[std::string(part.column)] = "NULL";
        return all;
      }(),
      // Texts: exactly the column's length, empty, an apostrophe, Latin-1,
      // texts into numeric and date columns.
      {{"TIPOPROMOCAO", "'X'"}, {"PROMSOMENTEFEBRAFAR", "''"}},
      {{"TIPOPROMOCAO", "''''"}, {"PROMSOMENTEFEBRAFAR", "'\xc3\x89'"}},
      {{"PRECOVENDA", "'12.345'"}, {"INICIOPROM", "'2024-03-05'"}, {"PROMQTDMINIMAVISTA", "' 7 '"}},
  };
  // Numbers that cannot travel as parameters: their statements run as text.
  const std::vector<Overrides> text_cases = {
      {{"PRECOCUSTO", "1.00005"}, {"PRECOPROMPRAZO", "-0.00005"}},
      {{"PRECOCUSTO", "1.000049999"}, {"PRECOPROMVISTA", "1234567890.1234567"}},
      {{"LUCRO", "0000000000000000001.5"}},
      {{"DESCPROMPRAZO", "900719925474.0993"}},
      {{"TIPOPROMOCAO", "5"}},
  };
  std::vector<Overrides> cases = prepared_cases;
  cases.insert(cases.end(), text_cases.begin(), text_cases.end());
  const int through_blocks = RunBothWays(cases);
  EXPECT_EQ(Differences(), "");
  // Only the cases whose numbers cannot travel as parameters ran as text.
  EXPECT_EQ(through_blocks, static_cast<int>(prepared_cases.size()));
}

// Decimal numbers of every length into DOUBLE PRECISION columns: the same
// bits as the literal gives.
TEST_F(UpdateRunnerDbTest, NumbersIntoFloatingColumnsGetTheLiteralsBits) {
  std::vector<Overrides> cases;
  std::uint64_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return seed >> 33;
  };
  for (int i = 0; i < 400; ++i) {
    const int decimals = 1 + i % 4;
    std::string digits = std::to_string(next() % 100000000000ULL);
    while (digits.size() <= static_cast<std::size_t>(decimals)) digits.insert(0, "0");
    std::string number =
        digits.substr(0, digits.size() - decimals) + "." + digits.substr(digits.size() - decimals);
    if (i % 3 == 0) number.insert(0, "-");
    cases.push_back({{"DESCPROMPRAZO", number}, {"PROMDESCRESIDUALPRAZO", number + "0"}});
  }
  EXPECT_EQ(RunBothWays(cases), 400);
  EXPECT_EQ(Differences(), "");
}

// A statement the database refuses: the batch's earlier statements applied,
// the error that statement gets when executed as written, the transaction
// left active.
TEST_F(UpdateRunnerDbTest, RefusedStatementFailsAsWrittenAfterTheEarlierOnes) {
  Insert({"A", "B", "C", "W"});
  const Overrides too_long = {{"TIPOPROMOCAO", "'XY'"}};
  std::string written_error;
  c_->TRQExec.StartTransaction();
  try {
    c_->QExec.ExecSQL(platform::AnsiToUtf8(Line("W", too_long)));
  } catch (const db::DbError& e) {
    written_error = e.what();
  }
  c_->TRQExec.Rollback();
  ASSERT_NE(written_error, "");

  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
  runner.Add(Line("A", {{"PRECOCUSTO", "3.5"}}));
  runner.Add(Line("B", too_long));
  runner.Add(Line("C", {{"PRECOCUSTO", "4.5"}}));
  try {
    runner.Finish();
    ADD_FAILURE() << "the refused statement did not fail";
  } catch (const db::DbError& e) {
    EXPECT_EQ(e.what(), written_error);
  }
  EXPECT_TRUE(c_->TRQExec.InTransaction());
  EXPECT_EQ(runner.executed(), 1);
  c_->TRQExec.Commit();
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'A'"), "3.5000");
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'C'"), "<null>");
}

// Codes the branch does not have are counted whichever path ran them, in
// file order, the first 50 kept.
TEST_F(UpdateRunnerDbTest, CountsTheStatementsThatMatchedNoRow) {
  std::vector<std::string> lines;
  std::vector<std::string> missing;
  for (int i = 0; i < 300; ++i) {
    const std::string code = "K" + std::to_string(i);
    if (i % 5 == 3) {
      missing.push_back(code);
    } else {
      Insert({code});
    }
    // Some statements run as text (a number into a text column).
    const bool as_text = i % 20 == 3 || i % 20 == 4;
    lines.push_back(Line(code, as_text ? Overrides{{"TIPOPROMOCAO", "1"}} : Overrides{}));
  }
  const UnmatchedCodes unmatched = RunPrepared(lines);
  EXPECT_EQ(unmatched.count, 60);
  ASSERT_EQ(unmatched.codes.size(), UnmatchedCodes::kKept);
  EXPECT_EQ(unmatched.codes,
            std::vector<std::string>(missing.begin(), missing.begin() + UnmatchedCodes::kKept));
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE TIPOPROMOCAO = 'N'"), "225");
}

// Statements whose code is NULL or blank are the head office's products
// without a code: counted apart, through blocks and as text alike, and never
// listed as products this branch lacks.
TEST_F(UpdateRunnerDbTest, CodelessStatementsAreCountedApartFromTheUnmatched) {
  Insert({"K1"});
  std::vector<std::string> lines;
  for (const bool as_text : {false, true}) {
    Overrides o = as_text ? Overrides{{"TIPOPROMOCAO", "1"}} : Overrides{};
    lines.push_back(Line("K1", o));
    lines.push_back(Line(as_text ? "X2" : "X1", o));
    for (const char* code : {"NULL", "''", "'   '"}) {
      o["CODIGO"] = code;
      lines.push_back(Line("", o));
    }
  }
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
  for (const std::string& line : lines) runner.Add(line);
  runner.Finish();
  EXPECT_EQ(runner.executed(), 10);
  EXPECT_EQ(runner.no_code(), 6);
  EXPECT_EQ(runner.unmatched().count, 2);
  EXPECT_EQ(runner.unmatched().codes, (std::vector<std::string>{"X1", "X2"}));
}

// Lines with and without the popular-pharmacy pair in one file.
TEST_F(UpdateRunnerDbTest, BothStatementShapesInOneFile) {
  Insert({"A", "B", "C", "D"});
  RunPrepared({Line("A", {{"PRECOFARMACIAPOPULAR", "7.77"}}, true),
               Line("B", {{"PRECOFARMACIAPOPULAR", "7.77"}}, false),
               Line("C", {{"PRECOFARMACIAPOPULAR", "8.88"}}, true),
               Line("D", {{"PRECOFARMACIAPOPULAR", "8.88"}}, false)});
  EXPECT_EQ(db_->Scalar("SELECT PRECOFARMACIAPOPULAR FROM PRODUTOS WHERE CODIGO = 'A'"), "7.77");
  EXPECT_EQ(db_->Scalar("SELECT PRECOFARMACIAPOPULAR FROM PRODUTOS WHERE CODIGO = 'B'"), "<null>");
  EXPECT_EQ(db_->Scalar("SELECT PRECOFARMACIAPOPULAR FROM PRODUTOS WHERE CODIGO = 'C'"), "8.88");
  EXPECT_EQ(db_->Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = 'D'"), "1.25");
}

// A lost connection: before the batch's first block the block runs again on
// a new attachment; once the batch holds uncommitted work the import fails
// (the server discarded that work) and the connection ends disconnected.
TEST_F(UpdateRunnerDbTest, LostConnectionRepeatsOnlyWhatLosesNothing) {
  std::vector<std::string> codes, lines;
  for (int i = 0; i < 60; ++i) {
    codes.push_back("L" + std::to_string(i));
    lines.push_back(Line(codes.back(), {{"PRECOCUSTO", "9.5"}}));
  }
  Insert(codes);
  {
    UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
    for (int i = 0; i < 24; ++i) runner.Add(lines[i]);
    proxy_->DropAll();
    runner.Add(lines[24]);  // the batch's first block, repeated
    EXPECT_EQ(runner.prepared(), 25);
    for (int i = 25; i < 49; ++i) runner.Add(lines[i]);
    proxy_->DropAll();
    try {
      runner.Add(lines[49]);
      ADD_FAILURE() << "work lost with the connection went unnoticed";
    } catch (const db::DbError& e) {
      EXPECT_TRUE(e.lost_connection()) << e.what();
    }
  }
  EXPECT_FALSE(c_->Connvelstrand.Connected());
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE PRECOCUSTO IS NOT NULL"), "0");
}

// A dry run does everything the import would, then leaves every row as it
// was: it reports the statements that would apply, the codes the branch
// lacks and the first statement the database refuses.
TEST_F(UpdateRunnerDbTest, DryRunReportsAndChangesNothing) {
  Insert({"A", "B", "C"});
  quilvane::testing::TempDir dir;
  const std::string file = dir.path() + "1.SQL";
  const auto write = [&](const std::vector<std::string>& lines) {
    std::string bytes = "01/02/2024\r\n";
    for (const std::string& line : lines) bytes += line + "\r\n";
    platform::WriteFileAtomically(file, bytes);
  };
  const std::string before = db_->Scalar("SELECT LIST(PRECOCUSTO) FROM PRODUTOS");

  write({Line("A", {{"PRECOCUSTO", "3.5"}}), Line("X1", {}), Line("B", {}), Line("X2", {}),
         Line("C", {{"TIPOPROMOCAO", "'XY'"}}), Line("X3", {})});
  ImportResult r = Import(file, ImportOptions::DryRun());
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.statements, 4);
  EXPECT_EQ(r.unmatched.count, 2);
  EXPECT_EQ(r.unmatched.codes, (std::vector<std::string>{"X1", "X2"}));
  EXPECT_EQ(r.refused_line, 6);
  EXPECT_NE(r.refused_statement.find("WHERE CODIGO = 'C'"), std::string::npos);
  EXPECT_NE(r.refused_error.find("string right truncation"), std::string::npos);
  EXPECT_FALSE(c_->TRQExec.InTransaction());

  write({Line("A", {{"PRECOCUSTO", "3.5"}}), Line("X1", {}), Line("B", {})});
  r = Import(file, ImportOptions::DryRun());
  EXPECT_EQ(r.statements, 3);
  EXPECT_EQ(r.unmatched.count, 1);
  EXPECT_EQ(r.refused_line, 0);

  c_->Connvelstrand.Disconnect();
  EXPECT_EQ(db_->Scalar("SELECT LIST(PRECOCUSTO) FROM PRODUTOS"), before);
}

// The block of 25 runs before the file turns out to have changed under the
// dry run: its updates are rolled back, not committed by the disconnection.
TEST_F(UpdateRunnerDbTest, DryRunRollsBackWhenItStopsHalfWay) {
  Insert({"A"});
  quilvane::testing::TempDir dir;
  const std::string file = dir.path() + "1.SQL";
  const auto write = [&](const std::string& last) {
    std::string bytes = "01/02/2024\r\n";
    for (int i = 0; i < 30; ++i) bytes += Line("A", {{"PRECOCUSTO", "3.5"}}) + "\r\n";
    platform::WriteFileAtomically(file, bytes + last);
  };
  write("");
  ImportOptions options = ImportOptions::DryRun();
  options.before_first_statement = [&] { write("DROP TABLE PRODUTOS\r\n"); };
  EXPECT_THROW(Import(file, options), ForbiddenLineError);
  EXPECT_FALSE(c_->TRQExec.InTransaction());
  c_->Connvelstrand.Disconnect();
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'A'"), "<null>");
}

// A trigger that raises on the tenth product of a block: the server undoes
// the whole block before the statements run again one by one, so no update's
// trigger work is done twice.
TEST_F(UpdateRunnerDbTest, FailedBlockLeavesNoTriggerWorkBeforeTheFallback) {
  db_->Execute(
      "CREATE TABLE FIRINGS (CODIGO VARCHAR(20));\n"
      "CREATE EXCEPTION E_TENTH 'tenth product';\n"
      "GRANT USAGE ON EXCEPTION E_TENTH TO USER USUARIO;\n"
      "SET TERM ^;\n"
      "CREATE TRIGGER PRODUTOS_FIRINGS FOR PRODUTOS AFTER UPDATE AS BEGIN"
      " INSERT INTO FIRINGS VALUES (NEW.CODIGO);"
      " IF (NEW.CODIGO = 'T10') THEN EXCEPTION E_TENTH; END^\n"
      "SET TERM ;^\n");
  std::vector<std::string> codes;
  for (int i = 1; i <= 25; ++i) codes.push_back("T" + std::to_string(i));
  Insert(codes);

  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
  try {
    for (const std::string& code : codes) runner.Add(Line(code, {{"PRECOCUSTO", "3.5"}}));
    runner.Finish();
    ADD_FAILURE() << "the trigger's exception did not fail the import";
  } catch (const db::DbError& e) {
    EXPECT_NE(std::string(e.what()).find("tenth product"), std::string::npos) << e.what();
  }
  EXPECT_EQ(runner.prepared(), 0);
  EXPECT_EQ(runner.executed(), 9);
  ASSERT_TRUE(c_->TRQExec.InTransaction());
  c_->TRQExec.Commit();
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM FIRINGS"), "9");
  EXPECT_EQ(db_->Scalar("SELECT COUNT(DISTINCT CODIGO) FROM FIRINGS"), "9");
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE PRECOCUSTO = 3.5"), "9");
}

// A run shorter than its block is padded with statements of NULL values: on
// a table whose codes may be NULL or empty, those rows stay as they were and
// no update fires beyond the statements' own, in either mode.
TEST_F(UpdateRunnerDbTest, PaddedBlocksTouchNoOtherRow) {
  db_->Execute(
      "SET TERM ^;\n"
      "EXECUTE BLOCK AS DECLARE N VARCHAR(63); BEGIN"
      " SELECT TRIM(RDB$CONSTRAINT_NAME) FROM RDB$RELATION_CONSTRAINTS"
      " WHERE RDB$RELATION_NAME = 'PRODUTOS' AND RDB$CONSTRAINT_TYPE = 'PRIMARY KEY' INTO :N;"
      " EXECUTE STATEMENT 'ALTER TABLE PRODUTOS DROP CONSTRAINT ' || N; END^\n"
      "SET TERM ;^\n"
      "COMMIT;\n"
      "ALTER TABLE PRODUTOS ALTER CODIGO DROP NOT NULL;\n"
      "CREATE TABLE FIRINGS (CODIGO VARCHAR(20));\n"
      "SET TERM ^;\n"
      "CREATE TRIGGER PRODUTOS_FIRINGS FOR PRODUTOS AFTER UPDATE AS BEGIN"
      " INSERT INTO FIRINGS VALUES (NEW.CODIGO); END^\n"
      "SET TERM ;^\n");
  db_->Execute(
      "INSERT INTO PRODUTOS (CODIGO, PRECOCUSTO) VALUES (NULL, 9);\n"
      "INSERT INTO PRODUTOS (CODIGO, PRECOCUSTO) VALUES ('', 9);\n");
  Insert({"A", "B", "C"});
  for (const bool only_changed : {false, true}) {
    SCOPED_TRACE(only_changed ? "only changed" : "every statement");
    db_->Execute("DELETE FROM FIRINGS;");
    UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {.only_changed = only_changed});
    const std::string price = only_changed ? "4.5" : "3.5";
    for (const char* code : {"A", "B", "C"}) runner.Add(Line(code, {{"PRECOCUSTO", price}}));
    runner.Finish();
    EXPECT_EQ(runner.prepared(), 3);
    EXPECT_EQ(runner.changed(), 3);
    EXPECT_EQ(runner.unmatched().count, 0);
    EXPECT_EQ(db_->Scalar("SELECT CAST(LIST(CODIGO, ',') AS VARCHAR(100))"
                          " FROM (SELECT CODIGO FROM FIRINGS ORDER BY 1)"),
              "A,B,C");
    EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE PRECOCUSTO = 9"), "2");
  }
}

// A NUL inside a text is refused before either path could run it.
TEST_F(UpdateRunnerDbTest, ControlByteInTextIsRefusedBeforeAnyPath) {
  Insert({"A", "B"});
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
  runner.Add(Line("A", {{"PRECOCUSTO", "3.5"}}));
  EXPECT_THROW(runner.Add(Line("B", {{"TIPOPROMOCAO", std::string("'\0'", 3)}})), platform::Error);
  EXPECT_THROW(runner.Add(Line("B", {{"TIPOPROMOCAO", "'\x01'"}})), platform::Error);
  runner.Finish();
  EXPECT_EQ(runner.executed(), 1);
}

}  // namespace
}  // namespace quilvane::exchange
