// The changes list of an import with SomenteAlterados: its bytes, its days,
// and, on the real Firebird server (label "integration"), that it names
// exactly the committed changes, also when the import fails part way.

#include "exchange/changes_list.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/error.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "exchange/update_runner.h"
#include "exchange/update_runner_internal.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "tests/db/site_components.h"
#include "tests/db/tcp_proxy.h"
#include "tests/support/fake_env.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::exchange {
namespace {

using Overrides = std::map<std::string, std::string>;  // column -> literal (UTF-8)

// A statement line (Windows-1252) for `code`: every column a plain value
// unless `overrides` gives its literal.
std::string Line(const std::string& code, const Overrides& overrides = {}) {
  std::string s;
  for (const StatementPart& part : kStatementParts) {
    const std::string column(part.column);
    std::string literal;
    if (column == "CODIGO") {
      literal = "'" + code + "'";
    } else if (auto o = overrides.find(column); o != overrides.end()) {
      literal = o->second;
    } else if (part.kind == LiteralKind::kValor2) {
      literal = "1.25";
    } else if (part.kind == LiteralKind::kValor3) {
      literal = "2.000";
    } else if (part.kind == LiteralKind::kData) {
      literal = "'10/31/2023'";
    } else {
      literal = "'N'";
    }
    s += part.fixed_text;
    s += literal;
  }
  return platform::Utf8ToWindows1252(s);
}

// The list's lines as written, the header first.
std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(ChangesListTest, FieldsAreWindows1252AndQuotedOnlyWhenTheyMustBe) {
  struct Case {
    Change change;
    const char* line;
  } const cases[] = {
      {{"7891", "PRECOVENDA", "1,25", "10,5"}, "7891;PRECOVENDA;1,25;10,5\r\n"},
      {{"A;B", "TIPOPROMOCAO", "N", ""}, "\"A;B\";TIPOPROMOCAO;N;\r\n"},
      {{"7\"8", "TIPOPROMOCAO", "a\r\nb", "x"}, "\"7\"\"8\";TIPOPROMOCAO;\"a\r\nb\";x\r\n"},
      {{"P\xc3\x83O", "TIPOPROMOCAO", "\xe2\x82\xac", "\xc3\xa9"},
       "P\xc3O;TIPOPROMOCAO;\x80;\xe9\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatChanges(std::span(&c.change, 1)), c.line) << c.line;
  }
}

TEST(ChangesListTest, LaterAttemptsOfADayAddToItsList) {
  quilvane::testing::TempDir dir;
  const platform::DateTime day = *platform::TryEncodeDate(2026, 12, 11);
  const std::string folder = dir.path() + "Alteracoes";
  const std::string path = ChangesListPath(folder, day);
  EXPECT_EQ(path, dir.path() + "Alteracoes/20261211.csv");
  const Change first{"1", "LUCRO", "1", "2"};
  const Change second{"2", "LUCRO", "3", "4"};
  WriteChangesList(folder, day, std::span(&first, 1));
  EXPECT_EQ(platform::ReadFileToString(path), "CODIGO;COLUNA;ANTES;DEPOIS\r\n1;LUCRO;1;2\r\n");
  WriteChangesList(folder, day, {});
  WriteChangesList(folder, day, std::span(&second, 1));
  EXPECT_EQ(platform::ReadFileToString(path),
            "CODIGO;COLUNA;ANTES;DEPOIS\r\n1;LUCRO;1;2\r\n2;LUCRO;3;4\r\n");

  // A list cut short (edited by hand) still gets whole lines after it.
  platform::WriteFileAtomically(path, "CODIGO;COLUNA;ANTES;DEPOIS\r\n1;LUCRO;1");
  WriteChangesList(folder, day, std::span(&second, 1));
  EXPECT_EQ(platform::ReadFileToString(path),
            "CODIGO;COLUNA;ANTES;DEPOIS\r\n1;LUCRO;1\r\n2;LUCRO;3;4\r\n");
}

TEST(ChangesListTest, OnlyListsPastSixtyDaysAreRemoved) {
  quilvane::testing::TempDir dir;
  const std::string folder = dir.path() + "Alteracoes/";
  platform::CreateDirectories(folder);
  struct Entry {
    const char* name;
    bool kept;
  } const entries[] = {
      {"20261011.csv", false},  // 61 days before
      {"20250101.csv", false},
      {"20261012.csv", true},  // 60 days before
      {"20261211.csv", true},
      {"20270101.csv", true},  // a day ahead (a head office clock gone
                               // wrong)
      {"20261311.csv", true},  // no such day
      {"2026101.csv", true},
      {"20261011.csv.bak", true},
      {"20261011.txt", true},
      {"notas.csv", true},
  };
  for (const Entry& e : entries) platform::WriteFileAtomically(folder + e.name, "x");
  platform::CreateDirectories(folder + "20200101.csv");  // a folder is no list

  EXPECT_EQ(RemoveOldChangesLists(folder, *platform::TryEncodeDate(2026, 12, 11)), 2);
  for (const Entry& e : entries) {
    EXPECT_EQ(platform::FileExists(folder + e.name), e.kept) << e.name;
  }
  EXPECT_TRUE(platform::DirectoryExists(folder + "20200101.csv"));
  // No folder yet: nothing to do.
  quilvane::testing::TempDir empty;
  EXPECT_EQ(
      RemoveOldChangesLists(empty.path() + "Alteracoes", *platform::TryEncodeDate(2026, 12, 11)),
      0);
}

class ChangesListDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILVANE_REQUIRE_FIREBIRD(server);
    env_.SetNow(2026, 12, 11);
    platform::FormatSettings fs;
    fs.decimal_separator = ',';
    fs.date_separator = '/';
    fs.short_date_format = "dd/MM/yyyy";
    env_.set_regional(fs);
    db_ = std::make_unique<testing::FirebirdDb>(server);
    proxy_ = std::make_unique<testing::TcpProxy>(0, server.host, std::stoi(server.port));
    c_ = Connect(proxy_->host(), std::to_string(proxy_->port()));
  }
  void TearDown() override {
    if (c_) c_->Connvelstrand.Disconnect();
    c_.reset();
    proxy_.reset();
    db_.reset();
  }

  std::unique_ptr<quilvane::testing::SiteComponents> Connect(const std::string& host,
                                                             const std::string& port) {
    auto c = std::make_unique<quilvane::testing::SiteComponents>(env_);
    c->Connvelstrand.SetParam("Port", port);
    c->Connvelstrand.SetParam("User_Name", "USUARIO");
    c->Connvelstrand.SetParam("Server", host);
    c->Connvelstrand.SetParam("Database", db_->path());
    c->Connvelstrand.SetParam("Password", "mirvex");
    c->Connvelstrand.Connect();
    return c;
  }

  // Products `codes`, as a full apply of Line(code) leaves them.
  void Seed(const std::vector<std::string>& codes) {
    std::string sql;
    for (const std::string& code : codes) {
      sql += "INSERT INTO PRODUTOS (CODIGO) VALUES (" +
             testing::FirebirdDb::RawText(platform::Utf8ToWindows1252(code)) + ");\n";
    }
    db_->Execute(sql);
    c_->TRQExec.StartTransaction();
    for (const std::string& code : codes) {
      c_->QExec.ExecSQL(platform::Windows1252ToUtf8(Line(code)));
    }
    c_->TRQExec.Commit();
  }

  // Applies `lines` as the file of 11/12/2026 with only_changed, the
  // committed changes added to the day's list.
  ImportResult Apply(const std::vector<std::string>& lines) {
    std::string bytes = "11/12/2026\r\n";
    for (const std::string& line : lines) bytes += line + "\r\n";
    platform::WriteFileAtomically(dir_.path() + "1.SQL", bytes);
    ImportOptions options;
    options.only_changed = true;
    options.on_committed_changes = [&](platform::DateTime day, const ChangeRange& c) {
      WriteChangesList(dir_.path() + "Alteracoes", day, c);
    };
    return ImportPrices(c_->Connvelstrand, c_->QExec, c_->TRQExec, dir_.path() + "1.SQL", 0, env_,
                        options);
  }

  std::string List() const {
    const std::string path =
        ChangesListPath(dir_.path() + "Alteracoes", *platform::TryEncodeDate(2026, 12, 11));
    return platform::FileExists(path) ? platform::ReadFileToString(path) : "";
  }

  quilvane::testing::FakeEnv env_;
  quilvane::testing::TempDir dir_;
  std::unique_ptr<testing::FirebirdDb> db_;
  std::unique_ptr<testing::TcpProxy> proxy_;
  std::unique_ptr<quilvane::testing::SiteComponents> c_;
};

// One line per changed column, the values as the database reads them with
// the regional separators: numerics of each scale, a floating column, DATE
// and TIMESTAMP, CHAR, NULL; unchanged and unknown products absent.
TEST_F(ChangesListDbTest, SmallDayGivesTheseBytes) {
  Seed({"A", "B", "C", "D;1", "P\xc3\x83O"});
  const ImportResult r = Apply({
      Line("A", {{"PRECOVENDA", "10.50"}, {"INICIOPROM", "NULL"}, {"DESCPROMPRAZO", "0.1"}}),
      Line("B", {{"LUCRO", "1.250"}}),  // equal: a trailing zero
      Line("C", {{"TIPOPROMOCAO", "'P'"}}),
      Line("UNKNOWN", {{"PRECOVENDA", "3"}}),
      Line("D;1", {{"PROMQTDMINIMAVISTA", "3.000"}}),
      Line("P\xc3\x83O", {{"FINALPROM", "'2/29/2024'"}, {"PRECOCUSTO", "-0.0001"}}),
  });
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(r.changed, 4);
  EXPECT_EQ(r.unchanged, 1);
  EXPECT_EQ(r.unmatched.count, 1);
  EXPECT_EQ(r.change_count, 7);
  EXPECT_EQ(List(),
            "CODIGO;COLUNA;ANTES;DEPOIS\r\n"
            "A;PRECOVENDA;1,25;10,5\r\n"
            "A;INICIOPROM;31/10/2023;\r\n"
            "A;DESCPROMPRAZO;1,25;0,1\r\n"
            "C;TIPOPROMOCAO;N;P\r\n"
            "\"D;1\";PROMQTDMINIMAVISTA;2;3\r\n"
            "P\xc3O;PRECOCUSTO;1,25;-0,0001\r\n"
            "P\xc3O;FINALPROM;31/10/2023;29/02/2024\r\n");

  // The same file again: nothing changes, and the list keeps its lines.
  const std::string list = List();
  const ImportResult again = Apply({Line("A", {{"PRECOVENDA", "10.5"}})});
  EXPECT_EQ(again.changed, 1);  // the other columns of A go back
  EXPECT_EQ(Lines(List()).size(), Lines(list).size() + 2);
}

// A statement refused in the second batch (its row locked by another
// transaction, part way through a block that then runs statement by
// statement): the list names exactly the products whose change was
// committed, the ones before it.
TEST_F(ChangesListDbTest, RefusedStatementLeavesOnlyCommittedChangesListed) {
  std::vector<std::string> codes, lines;
  for (int i = 0; i < 300; ++i) {
    char code[8];
    std::snprintf(code, sizeof code, "R%03d", i);
    codes.push_back(code);
    lines.push_back(Line(code, {{"PRECOVENDA", "9.99"}}));
  }
  Seed(codes);
  const auto other = Connect(db_->server().host, db_->server().port);
  other->TRQExec.StartTransaction();
  other->QExec.ExecSQL("UPDATE PRODUTOS SET DESCRICAO = 'x' WHERE CODIGO = 'R275'");

  EXPECT_THROW(Apply(lines), db::DbError);
  other->TRQExec.Rollback();
  other->Connvelstrand.Disconnect();
  c_->Connvelstrand.Disconnect();

  const std::vector<std::string> listed = Lines(List());
  ASSERT_EQ(listed.size(), 276u);
  for (int i = 0; i < 275; ++i) EXPECT_EQ(listed[i + 1], codes[i] + ";PRECOVENDA;1,25;9,99");
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE PRECOVENDA = 9.99"), "275");
  EXPECT_EQ(db_->Scalar("SELECT MAX(CODIGO) FROM PRODUTOS WHERE PRECOVENDA = 9.99"), "R274");

  // The next attempt completes the day's list.
  c_ = Connect(proxy_->host(), std::to_string(proxy_->port()));
  Apply(lines);
  EXPECT_EQ(Lines(List()).size(), 301u);
}

// The connection lost in the second batch: its work is gone with it, and
// only the first batch's changes are committed.
TEST_F(ChangesListDbTest, LostConnectionKeepsOnlyTheCommittedBatch) {
  // The first run and a run as long as the runner's longest: sent whole when
  // the connection goes, the batches before committed and the open one not.
  const std::size_t sent = internal::kReadStatements + internal::kScannedRunStatements;
  const std::size_t committed = sent / kBatchSize * kBatchSize;
  ASSERT_GT(sent, committed);
  std::vector<std::string> codes;
  for (std::size_t i = 0; i < sent + 10; ++i) codes.push_back("L" + std::to_string(1000 + i));
  Seed(codes);
  UpdateRunner runner(c_->Connvelstrand, c_->TRQExec, c_->QExec,
                      {.commit_batches = true, .only_changed = true});
  for (std::size_t i = 0; i < sent; ++i) runner.Add(Line(codes[i], {{"LUCRO", "5"}}));
  proxy_->DropAll();
  try {
    for (std::size_t i = sent; i < codes.size(); ++i) runner.Add(Line(codes[i], {{"LUCRO", "5"}}));
    runner.Finish();
    ADD_FAILURE() << "work lost with the connection went unnoticed";
  } catch (const db::DbError& e) {
    EXPECT_TRUE(e.lost_connection()) << e.what();
  }
  ASSERT_EQ(runner.committed_changes().size(), committed);
  for (std::size_t i = 0; i < committed; ++i) {
    EXPECT_EQ(runner.committed_changes()[i].code, codes[i]);
    EXPECT_EQ(runner.committed_changes()[i].column, "LUCRO");
  }
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE LUCRO = 5"),
            std::to_string(committed));
}

// A dry run reports the first changes and the total, and changes nothing.
TEST_F(ChangesListDbTest, DryRunKeepsTheFirstChanges) {
  std::vector<std::string> codes, lines;
  for (int i = 0; i < 30; ++i) {
    codes.push_back("D" + std::to_string(10 + i));
    lines.push_back(Line(codes.back(), {{"PRECOCUSTO", "4"}}));
  }
  Seed(codes);
  std::string bytes = "11/12/2026\r\n";
  for (const std::string& line : lines) bytes += line + "\r\n";
  platform::WriteFileAtomically(dir_.path() + "1.SQL", bytes);
  ImportOptions options = ImportOptions::DryRun();
  options.only_changed = true;
  const ImportResult r = ImportPrices(c_->Connvelstrand, c_->QExec, c_->TRQExec,
                                      dir_.path() + "1.SQL", 0, env_, options);
  EXPECT_EQ(r.change_count, 30);
  ASSERT_EQ(r.first_changes.size(), kDryRunChangesKept);
  for (std::size_t i = 0; i < kDryRunChangesKept; ++i) {
    EXPECT_EQ(r.first_changes[i].code, codes[i]);
    EXPECT_EQ(r.first_changes[i].before, "1,25");
    EXPECT_EQ(r.first_changes[i].after, "4");
  }
  EXPECT_EQ(db_->Scalar("SELECT COUNT(*) FROM PRODUTOS WHERE PRECOCUSTO = 4"), "0");
  EXPECT_EQ(List(), "");
}

}  // namespace
}  // namespace quilvane::exchange
