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
#include "platform/env.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "tests/db/tcp_proxy.h"
#include "tests/support/firebird_db.h"
#include "sync/site_database.h"
#include "tests/support/temp_dir.h"

namespace quilvane::exchange {
namespace {

using Overrides = std::map<std::string, std::string>;  // column -> literal (UTF-8)

// A statement line (Windows-1252) for `code`: every column set to a plain
// value unless `overrides` gives its literal.
std::string Line(const std::string& code, const Overrides& overrides, bool popular = true) {
  std::string s;
  for (std::size_t i = 0; i < kStatementPartCount; ++i) {
    if (i == kPopularPart && !popular) continue;
    const std::string column(kStatementParts[i].column);
    std::string literal;
    if (auto o = overrides.find(column); o != overrides.end()) {
      literal = o->second;
    } else if (column == "CODIGO") {
      literal = "'" + code + "'";
    } else {
      switch (kStatementParts[i].kind) {
        case LiteralKind::kValor2:
          literal = "1.25";
          break;
        case LiteralKind::kValor3:
          literal = "2.000";
          break;
        case LiteralKind::kData:
          literal = "'10/31/2023'";
          break;
        case LiteralKind::kTexto:
          literal = "'N'";
          break;
      }
    }
    s += kStatementParts[i].fixed_text;
    s += literal;
  }
  return platform::Utf8ToAnsi(s);
}

class UpdateRunnerDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILVANE_REQUIRE_FIREBIRD(server);
    db_ = std::make_unique<testing::FirebirdDb>(server);
    c_ = std::make_unique<sync::SiteDatabase>(platform::Env::Default());
    proxy_ = std::make_unique<testing::TcpProxy>(0, server.host, std::stoi(server.port));
    c_->Connvelstrand.SetParam("Port", std::to_string(proxy_->port()));
    c_->Connvelstrand.SetParam("User_Name", "USUARIO");
    c_->Connvelstrand.SetParam("Server", proxy_->host());
    c_->Connvelstrand.SetParam("Database", db_->path());
    c_->Connvelstrand.SetParam("Password", "mirvex");
    c_->Connvelstrand.Connect();
  }
  void TearDown() override {
    if (c_) c_->Connvelstrand.Disconnect();
    c_.reset();
    proxy_.reset();
    db_.reset();
  }

  void Insert(const std::vector<std::string>& codes) {
    std::string sql;
    for (const std::string& code : codes) {
      sql += "INSERT INTO PRODUTOS (CODIGO) VALUES ('" + code + "');\n";
    }
    db_->Execute(sql);
  }

  // Each line executed as written, one by one, committed at the end.
  void RunAsWritten(const std::vector<std::string>& lines) {
    c_->TRQExec.StartTransaction();
    for (const std::string& line : lines) c_->QExec.ExecSQL(platform::AnsiToUtf8(line));
    c_->TRQExec.Commit();
  }

  UnmatchedCodes RunPrepared(const std::vector<std::string>& lines, int* prepared = nullptr) {
    UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, {});
    for (const std::string& line : lines) runner.Add(line);
    runner.Finish();
    EXPECT_EQ(runner.executed(), static_cast<int>(lines.size()));
    if (prepared) *prepared = runner.prepared();
    return runner.unmatched();
  }

  // The codes of the "P…" products whose synchronised columns differ in any
  // bit from those of the matching "W…" product, joined by ",".
  std::string Differences() {
    std::string differs;
    for (const StatementPart& part : kStatementParts) {
      if (part.column == "CODIGO") continue;
      if (!differs.empty()) differs += " OR ";
      differs +=
          "P." + std::string(part.column) + " IS DISTINCT FROM W." + std::string(part.column);
    }
    return db_->Scalar(
        "SELECT CAST(COALESCE(LIST(P.CODIGO), '') AS VARCHAR(8000)) FROM PRODUTOS P JOIN PRODUTOS "
        "W ON W.CODIGO = 'W' || "
        "SUBSTRING(P.CODIGO FROM 2) WHERE P.CODIGO STARTING WITH 'P' AND (" +
        differs + ")");
  }

  // Runs `cases` both ways on fresh products; returns the statements that
  // went through prepared blocks.
  int RunBothWays(const std::vector<Overrides>& cases) {
    std::vector<std::string> prepared, as_written, rows;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      prepared.push_back(Line("P" + std::to_string(i), cases[i]));
      as_written.push_back(Line("W" + std::to_string(i), cases[i]));
      rows.push_back("P" + std::to_string(i));
      rows.push_back("W" + std::to_string(i));
    }
    Insert(rows);
    int through_blocks = 0;
    EXPECT_EQ(RunPrepared(prepared, &through_blocks).count, 0);
    RunAsWritten(as_written);
    return through_blocks;
  }

  std::unique_ptr<testing::FirebirdDb> db_;
  std::unique_ptr<testing::TcpProxy> proxy_;  // between the client and the server
  std::unique_ptr<sync::SiteDatabase> c_;
};

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

// A dry run does everything the import would, then leaves every row and the
// settings as they were: it reports the statements that would apply, the
// codes the branch lacks and the first statement the database refuses.
TEST_F(UpdateRunnerDbTest, DryRunReportsAndChangesNothing) {
  Insert({"A", "B", "C"});
  quilvane::testing::TempDir dir;
  const std::string file = dir.path() + "1.SQL";
  const std::string settings = dir.path() + "Quilvane.ini";
  const auto write = [&](const std::vector<std::string>& lines) {
    std::string bytes = "01/02/2024\r\n";
    for (const std::string& line : lines) bytes += line + "\r\n";
    platform::WriteFileAtomically(file, bytes);
  };
  const std::string before = db_->Scalar("SELECT LIST(PRECOCUSTO) FROM PRODUTOS");

  write({Line("A", {{"PRECOCUSTO", "3.5"}}), Line("X1", {}), Line("B", {}), Line("X2", {}),
         Line("C", {{"TIPOPROMOCAO", "'XY'"}}), Line("X3", {})});
  ImportResult r =
      sync::ImportPrices(*c_, file, 0, settings, platform::Env::Default(), ImportOptions::DryRun());
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.statements, 4);
  EXPECT_EQ(r.unmatched.count, 2);
  EXPECT_EQ(r.unmatched.codes, (std::vector<std::string>{"X1", "X2"}));
  EXPECT_EQ(r.refused_line, 6);
  EXPECT_NE(r.refused_statement.find("WHERE CODIGO = 'C'"), std::string::npos);
  EXPECT_NE(r.refused_error.find("string right truncation"), std::string::npos);
  EXPECT_FALSE(c_->TRQExec.InTransaction());

  write({Line("A", {{"PRECOCUSTO", "3.5"}}), Line("X1", {}), Line("B", {})});
  r = sync::ImportPrices(*c_, file, 0, settings, platform::Env::Default(), ImportOptions::DryRun());
  EXPECT_EQ(r.statements, 3);
  EXPECT_EQ(r.unmatched.count, 1);
  EXPECT_EQ(r.refused_line, 0);

  c_->Connvelstrand.Disconnect();
  EXPECT_EQ(db_->Scalar("SELECT LIST(PRECOCUSTO) FROM PRODUTOS"), before);
  EXPECT_FALSE(platform::FileExists(settings));
}

// With only_changed a statement runs only when its row differs, as the server
// compares the converted values: the trigger shows which rows were updated,
// and the rows end as those of a full apply, unknown codes counted apart.
TEST_F(UpdateRunnerDbTest, OnlyChangedSkipsTheRowsThatAlreadyHoldTheValues) {
  db_->Execute(
      "ALTER TABLE PRODUTOS ALTER PROMSOMENTEFEBRAFAR TYPE VARCHAR(5);\n"
      "CREATE TABLE FIRINGS (CODIGO VARCHAR(20));\n"
      "SET TERM ^ ;\n"
      "CREATE TRIGGER PRODUTOS_FIRINGS FOR PRODUTOS AFTER UPDATE AS BEGIN\n"
      "  INSERT INTO FIRINGS VALUES (NEW.CODIGO);\nEND^\nSET TERM ; ^");
  struct Case {
    const char* what;
    Overrides before;   // the row as a full apply of these left it
    const char* setup;  // then this SQL on it ("" none; "?" stands for the code)
    Overrides after;    // the statement
    bool updates;
  } const cases[] = {
      {"equal", {}, "", {}, false},
      {"one column differs", {}, "", {{"PRECOCUSTO", "3.5"}}, true},
      {"NULL equals NULL", {{"PRECOPROMVISTA", "NULL"}}, "", {{"PRECOPROMVISTA", "NULL"}}, false},
      {"NULL-ness differs", {}, "UPDATE PRODUTOS SET LUCRO = NULL WHERE CODIGO = '?'", {}, true},
      {"a trailing zero of a NUMERIC",
       {{"PRECOCUSTO", "1.5"}},
       "",
       {{"PRECOCUSTO", "1.50"}},
       false},
      {"a trailing blank in a VARCHAR",
       {{"PROMSOMENTEFEBRAFAR", "'N'"}},
       "",
       {{"PROMSOMENTEFEBRAFAR", "'N '"}},
       true},
      {"the same trailing blank",
       {{"PROMSOMENTEFEBRAFAR", "'N '"}},
       "",
       {{"PROMSOMENTEFEBRAFAR", "'N '"}},
       false},
      {"a floating column", {{"DESCPROMPRAZO", "0.1"}}, "", {{"DESCPROMPRAZO", "0.1"}}, false},
  };
  std::vector<std::string> before, only_changed, as_written;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    for (const char* prefix : {"P", "W"}) {
      const std::string code = prefix + std::to_string(i);
      Insert({code});
      before.push_back(Line(code, cases[i].before));
    }
    only_changed.push_back(Line("P" + std::to_string(i), cases[i].after));
    as_written.push_back(Line("W" + std::to_string(i), cases[i].after));
  }
  RunAsWritten(before);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    std::string setup = cases[i].setup;
    if (setup.empty()) continue;
    for (const char* prefix : {"P", "W"}) {
      std::string sql = setup;
      sql.replace(sql.find('?'), 1, prefix + std::to_string(i));
      db_->Execute(sql + ";");
    }
  }
  db_->Execute("DELETE FROM FIRINGS;");
  only_changed.push_back(Line("UNKNOWN", {}));

  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec,
                      {.commit_batches = true, .only_changed = true});
  for (const std::string& line : only_changed) runner.Add(line);
  runner.Finish();
  RunAsWritten(as_written);

  int updates = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    updates += cases[i].updates;
    EXPECT_EQ(
        db_->Scalar("SELECT COUNT(*) FROM FIRINGS WHERE CODIGO = 'P" + std::to_string(i) + "'"),
        cases[i].updates ? "1" : "0")
        << cases[i].what;
  }
  EXPECT_EQ(Differences(), "");
  EXPECT_EQ(runner.changed(), updates);
  EXPECT_EQ(runner.unchanged(), static_cast<int>(std::size(cases)) - updates);
  EXPECT_EQ(runner.unmatched().count, 1);
  EXPECT_EQ(runner.prepared(), static_cast<int>(only_changed.size()));
}

// Thirty statements, every one equal: the blocks of the comparing path stay
// under the server's statement limit (none falls back to text).
TEST_F(UpdateRunnerDbTest, OnlyChangedRunsFullBlocksThroughThePreparedPath) {
  std::vector<std::string> codes, lines;
  for (int i = 0; i < 30; ++i) {
    codes.push_back("E" + std::to_string(i));
    lines.push_back(Line(codes.back(), {}));
  }
  Insert(codes);
  RunAsWritten(lines);
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec,
                      {.commit_batches = true, .only_changed = true});
  for (const std::string& line : lines) runner.Add(line);
  runner.Finish();
  EXPECT_EQ(runner.prepared(), 30);
  EXPECT_EQ(runner.unchanged(), 30);
  EXPECT_EQ(runner.changed(), 0);
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
  EXPECT_THROW(sync::ImportPrices(*c_, file, 0, dir.path() + "Quilvane.ini",
                                  platform::Env::Default(), options),
               ForbiddenLineError);
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
