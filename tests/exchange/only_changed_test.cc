// SomenteAlterados in the import, on the real Firebird server (label
// "integration"): a statement runs only when its row differs, as the server
// compares the converted values, whether the comparison is made on the
// client (rows read ahead) or by the server (a trigger on PRODUTOS, or a
// value only the server can convert).

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/error.h"
#include "exchange/format.h"
#include "exchange/update_runner.h"
#include "tests/exchange/update_runner_fixture.h"

namespace quilvane::exchange {
namespace {

using testing_support::Line;
using testing_support::Overrides;
using testing_support::UpdateRunnerDbTest;

// The ways the rows are compared: PRODUTOS with a trigger (it counts its
// firings); without one through a scan of the whole table, waited for at the
// first run; and without one through a read of each run's rows.
enum class Way { kTrigger, kScan, kRunReads };

class OnlyChangedDbTest : public UpdateRunnerDbTest, public ::testing::WithParamInterface<Way> {
 protected:
  void SetUp() override {
    UpdateRunnerDbTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;  // no server: failed, not crashed
    db_->Execute("CREATE TABLE FIRINGS (CODIGO VARCHAR(20));");
    if (GetParam() == Way::kTrigger) {
      db_->Execute(
          "SET TERM ^ ;\n"
          "CREATE TRIGGER PRODUTOS_FIRINGS FOR PRODUTOS AFTER UPDATE AS BEGIN\n"
          "  INSERT INTO FIRINGS VALUES (NEW.CODIGO);\nEND^\nSET TERM ; ^");
    }
  }

  // The record version of `code`'s row: a new one after every update.
  std::string Version(const std::string& code) {
    return db_->Scalar("SELECT RDB$RECORD_VERSION FROM PRODUTOS WHERE CODIGO = '" + code + "'");
  }

  // `o` with the DOUBLE PRECISION columns NULL unless it sets them: a
  // number into one is for the server to compare, and would send its
  // statement there whatever the way.
  static Overrides Certain(Overrides o) {
    o.emplace("DESCPROMPRAZO", "NULL");
    o.emplace("PROMDESCRESIDUALPRAZO", "NULL");
    return o;
  }

  UpdateRunner::Options OnlyChanged() {
    return {.commit_batches = true,
            .only_changed = true,
            .scan_products = GetParam() != Way::kRunReads};
  }
};

INSTANTIATE_TEST_SUITE_P(Ways, OnlyChangedDbTest,
                         ::testing::Values(Way::kTrigger, Way::kScan, Way::kRunReads),
                         [](const auto& info) {
                           return info.param == Way::kTrigger ? "Trigger"
                                  : info.param == Way::kScan  ? "Scan"
                                                              : "RunReads";
                         });

// Literals of each kind against rows that hold them or not; the rows end as
// those of a full apply, the changes listed are exactly the columns that
// differed, unknown codes counted apart.
TEST_P(OnlyChangedDbTest, SkipsTheRowsThatAlreadyHoldTheValues) {
  db_->Execute("ALTER TABLE PRODUTOS ALTER PROMSOMENTEFEBRAFAR TYPE VARCHAR(5);");
  struct Case {
    const char* what;
    Overrides before;    // the row as a full apply of these left it
    const char* setup;   // then this SQL on it ("" none; "?" stands for the code)
    Overrides after;     // the statement
    const char* listed;  // the columns listed as changed, in order ("" none: no update)
  } const cases[] = {
      {"equal", {}, "", {}, ""},
      {"one column differs", {}, "", {{"PRECOCUSTO", "3.5"}}, "PRECOCUSTO"},
      {"NULL equals NULL", {{"PRECOPROMVISTA", "NULL"}}, "", {{"PRECOPROMVISTA", "NULL"}}, ""},
      {"NULL-ness differs", {}, "UPDATE PRODUTOS SET LUCRO = NULL WHERE CODIGO = '?'", {}, "LUCRO"},
      {"a trailing zero of a NUMERIC", {{"PRECOCUSTO", "1.5"}}, "", {{"PRECOCUSTO", "1.50"}}, ""},
      {"a trailing blank in a VARCHAR",
       {{"PROMSOMENTEFEBRAFAR", "'N'"}},
       "",
       {{"PROMSOMENTEFEBRAFAR", "'N '"}},
       "PROMSOMENTEFEBRAFAR"},
      {"the same trailing blank",
       {{"PROMSOMENTEFEBRAFAR", "'N '"}},
       "",
       {{"PROMSOMENTEFEBRAFAR", "'N '"}},
       ""},
      {"an empty text against NULL",
       {{"PROMSOMENTEFEBRAFAR", "NULL"}},
       "",
       {{"PROMSOMENTEFEBRAFAR", "''"}},
       "PROMSOMENTEFEBRAFAR"},
      {"a floating column", {{"DESCPROMPRAZO", "0.1"}}, "", {{"DESCPROMPRAZO", "0.1"}}, ""},
      {"a value the server rounds", {{"PRECOVENDA", "1.255"}}, "", {{"PRECOVENDA", "1.255"}}, ""},
      {"a value the server rounds, differing",
       {{"PRECOVENDA", "1.255"}},
       "",
       {{"PRECOVENDA", "1.244"}},
       "PRECOVENDA"},
      {"a SMALLINT", {{"PROMQTDMINIMAVISTA", "7"}}, "", {{"PROMQTDMINIMAVISTA", "7.000"}}, ""},
      {"six decimals held",
       {{"PRECOPROMVISTA", "1.2345"}},
       "",
       {{"PRECOPROMVISTA", "1.23450"}},
       ""},
      {"a sixth decimal set by hand",
       {{"PRECOPROMVISTA", "1.2345"}},
       "UPDATE PRODUTOS SET PRECOPROMVISTA = 1.234501 WHERE CODIGO = '?'",
       {{"PRECOPROMVISTA", "1.2345"}},
       "PRECOPROMVISTA"},
      {"a date differs", {}, "", {{"INICIOPROM", "'11/1/2023'"}}, "INICIOPROM"},
      {"a timestamp holding a time",
       {},
       "UPDATE PRODUTOS SET FINALPROM = TIMESTAMP '2023-10-31 10:00:00' WHERE CODIGO = '?'",
       {},
       "FINALPROM"},
      {"two columns differ",
       {},
       "",
       {{"TIPOPROMOCAO", "'X'"}, {"PROMLEVEPRAZO", "9"}},
       "TIPOPROMOCAO,PROMLEVEPRAZO"},
  };
  std::vector<std::string> before, only_changed, as_written;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    for (const char* prefix : {"P", "W"}) {
      const std::string code = prefix + std::to_string(i);
      Insert({code});
      before.push_back(Line(code, Certain(cases[i].before)));
    }
    only_changed.push_back(Line("P" + std::to_string(i), Certain(cases[i].after)));
    as_written.push_back(Line("W" + std::to_string(i), Certain(cases[i].after)));
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
  std::vector<std::string> versions;
  for (std::size_t i = 0; i < std::size(cases); ++i)
    versions.push_back(Version("P" + std::to_string(i)));
  only_changed.push_back(Line("UNKNOWN", {}));

  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, OnlyChanged());
  for (const std::string& line : only_changed) runner.Add(line);
  runner.Finish();
  RunAsWritten(as_written);

  int updates = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string code = "P" + std::to_string(i);
    const bool updated = *cases[i].listed != '\0';
    updates += updated;
    EXPECT_EQ(Version(code) != versions[i], updated) << cases[i].what;
    if (GetParam() == Way::kTrigger) {
      EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM FIRINGS WHERE CODIGO = '" + code + "'"),
                updated ? "1" : "0")
          << cases[i].what;
    }
    std::string listed;
    for (const Change& c : runner.committed_changes()) {
      if (c.code != code) continue;
      listed += (listed.empty() ? "" : ",") + std::string(c.column);
    }
    EXPECT_EQ(listed, cases[i].listed) << cases[i].what;
  }
  EXPECT_EQ(Differences(), "");
  EXPECT_EQ(runner.changed(), updates);
  EXPECT_EQ(runner.unchanged(), static_cast<int>(std::size(cases)) - updates);
  EXPECT_EQ(runner.unmatched().count, 1);
  EXPECT_EQ(runner.prepared(), static_cast<int>(only_changed.size()));
}

// Thirty statements, every one equal: none falls back to text.
TEST_P(OnlyChangedDbTest, RunsFullRunsThroughThePreparedPath) {
  std::vector<std::string> codes, lines;
  for (int i = 0; i < 30; ++i) {
    codes.push_back("E" + std::to_string(i));
    lines.push_back(Line(codes.back(), {}));
  }
  Insert(codes);
  RunAsWritten(lines);
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, OnlyChanged());
  for (const std::string& line : lines) runner.Add(line);
  runner.Finish();
  EXPECT_EQ(runner.prepared(), 30);
  EXPECT_EQ(runner.unchanged(), 30);
  EXPECT_EQ(runner.changed(), 0);
}

// One product twice in a run, changed then set back: the second statement
// must see the first one's update, as when each runs in turn.
TEST_P(OnlyChangedDbTest, AProductTwiceInARunSeesItsOwnUpdate) {
  Insert({"D", "E"});
  RunAsWritten({Line("D", Certain({})), Line("E", Certain({}))});
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, OnlyChanged());
  runner.Add(Line("D", Certain({{"PRECOCUSTO", "3.5"}})));
  runner.Add(Line("E", Certain({})));
  runner.Add(Line("D", Certain({})));
  runner.Finish();
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'D'"), "1.2500");
  EXPECT_EQ(runner.changed(), 2);
  EXPECT_EQ(runner.unchanged(), 1);
  EXPECT_EQ(runner.change_count(), 2);
}

// The same product again after a run has passed: what was read or scanned
// for it before its first statement no longer holds.
TEST_P(OnlyChangedDbTest, AProductAgainInALaterRunSeesItsUpdate) {
  std::vector<std::string> codes = {"D"};
  for (int i = 0; i < 60; ++i) codes.push_back("F" + std::to_string(i));
  Insert(codes);
  std::vector<std::string> lines;
  for (const std::string& code : codes) lines.push_back(Line(code, Certain({})));
  RunAsWritten(lines);
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, OnlyChanged());
  runner.Add(Line("D", Certain({{"PRECOCUSTO", "3.5"}})));
  for (std::size_t i = 1; i < codes.size(); ++i) runner.Add(lines[i]);
  runner.Add(Line("D", Certain({})));
  runner.Finish();
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'D'"), "1.2500");
  EXPECT_EQ(runner.changed(), 2);
  EXPECT_EQ(runner.unchanged(), 60);
}

// Statements that differ, gathered into one block from between unchanged
// ones, one of them refused by the server: the block runs again one by one
// in file order, so that those before the refused one apply and are
// counted, and its own error ends the run.
TEST_P(OnlyChangedDbTest, ARefusedStatementOfAGatheredBlockFailsAsWritten) {
  db_->Execute("ALTER TABLE PRODUTOS ADD CONSTRAINT COST_LIMIT CHECK (PRECOCUSTO < 100);");
  std::vector<std::string> codes, lines;
  for (int i = 0; i < 10; ++i) {
    codes.push_back("G" + std::to_string(i));
    lines.push_back(Line(codes.back(), Certain({})));
  }
  Insert(codes);
  RunAsWritten(lines);
  lines[2] = Line("G2", Certain({{"PRECOCUSTO", "3.5"}}));
  lines[5] = Line("G5", Certain({{"PRECOCUSTO", "500"}}));
  lines[7] = Line("G7", Certain({{"PRECOCUSTO", "4.5"}}));
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, OnlyChanged());
  try {
    for (std::size_t i = 0; i < lines.size(); ++i) runner.Add(lines[i], static_cast<int>(i) + 1);
    runner.Finish();
    ADD_FAILURE() << "the refused statement went unnoticed";
  } catch (const db::DbError& e) {
    EXPECT_NE(std::string(e.what()).find("COST_LIMIT"), std::string::npos) << e.what();
  }
  EXPECT_EQ(runner.refused_line(), 6);
  EXPECT_EQ(runner.executed(), 5);
  if (GetParam() != Way::kTrigger) {  // there the block compares, and its fallback does not
    EXPECT_EQ(runner.changed(), 1);
    EXPECT_EQ(runner.unchanged(), 4);
  }
  ASSERT_TRUE(c_->TRQExec.InTransaction());
  c_->TRQExec.Commit();
  EXPECT_EQ(db_->Scalar("SELECT CAST(LIST(CODIGO) AS VARCHAR(100)) FROM PRODUTOS"
                        " WHERE PRECOCUSTO <> 1.25"),
            "G2");
}

// The scan started before the first statement, as an import starts it; a
// first run the read cannot take (both statement shapes in it) updates a
// product the scan has already read; a later statement sets it back: the
// scan's old value must not settle that one. (Every value here is one the
// client converts, so that the scan would settle it.)
TEST_P(OnlyChangedDbTest, AProductSentBeforeTheScanWasTakenIsComparedByTheServer) {
  std::vector<std::string> codes = {"D"};
  for (int i = 0; i < 99; ++i) codes.push_back("F" + std::to_string(i));
  Insert(codes);
  std::vector<std::string> lines;
  for (const std::string& code : codes) lines.push_back(Line(code, Certain({})));
  RunAsWritten(lines);
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec, OnlyChanged());
  runner.StartScan();
  // Time for a scan of a hundred rows, even on a loaded machine.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  runner.Add(Line("D", Certain({{"PRECOCUSTO", "3.5"}}), /*popular=*/false));
  for (std::size_t i = 1; i < 50; ++i) runner.Add(lines[i]);  // the first run
  runner.Add(lines[0]);
  for (std::size_t i = 50; i < codes.size(); ++i) runner.Add(lines[i]);
  runner.Finish();
  if (GetParam() == Way::kScan) {
    EXPECT_TRUE(runner.scanned());
  }
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'D'"), "1.2500");
  EXPECT_EQ(runner.changed(), 2);
  EXPECT_EQ(runner.unchanged(), 99);
}

// A trigger that, when one product is updated, changes another one (a pack
// priced from its unit): the second product's statement must be compared
// after the first one's update, as when each runs in turn. The other
// products of the run, before the first update, are still settled at once.
TEST_F(UpdateRunnerDbTest, ATriggerThatChangesAnotherProductIsSeenByItsStatement) {
  db_->Execute(
      "SET TERM ^ ;\n"
      "CREATE TRIGGER PACK_FROM_UNIT FOR PRODUTOS AFTER UPDATE AS BEGIN\n"
      "  IF (NEW.CODIGO = 'UNIT') THEN\n"
      "    UPDATE PRODUTOS SET PRECOCUSTO = NEW.PRECOCUSTO * 10 WHERE CODIGO = 'PACK';\nEND^\n"
      "SET TERM ; ^");
  Insert({"A", "UNIT", "PACK"});
  RunAsWritten({Line("A", {}), Line("UNIT", {}), Line("PACK", {})});
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec,
                      {.commit_batches = true, .only_changed = true});
  runner.Add(Line("A", {}));
  runner.Add(Line("UNIT", {{"PRECOCUSTO", "2"}}));
  runner.Add(Line("PACK", {}));  // holds 1.25 when read, 20 once UNIT is updated
  runner.Finish();
  EXPECT_EQ(db_->Scalar("SELECT PRECOCUSTO FROM PRODUTOS WHERE CODIGO = 'PACK'"), "1.2500");
  EXPECT_EQ(runner.changed(), 2);
  EXPECT_EQ(runner.unchanged(), 1);
  EXPECT_EQ(runner.prepared(), 3);
}

}  // namespace
}  // namespace quilvane::exchange
