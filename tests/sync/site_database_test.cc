// The site's database components as the service wires them, and the log
// lines of the changes list it saves after an import.

#include "sync/site_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/changes_list.h"
#include "platform/file.h"
#include "tests/db/site_components.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

using db::Transaction;

TEST(SiteDatabase, StatementTextsAndWiring) {
  SiteDatabase c{platform::Env::Default()};
  EXPECT_EQ(c.TBPadrao.sql(), "SELECT CODIGO\n     , CGC\nFROM PADRAO");
  const std::string& p = c.TBProdutos.sql();
  EXPECT_EQ(std::count(p.begin(), p.end(), '\n'), 25);
  EXPECT_EQ(p.substr(0, 36), "SELECT P.CODIGO\n     , P.PRECOCUSTO\n");
  EXPECT_NE(p.find("\n     , P.PROMSOMENTEFEBRAFAR\n     , P.PROMDESCRESIDUALVISTA\n"),
            std::string::npos);
  EXPECT_TRUE(p.ends_with(
      "\n     , P.PROMDESCRESIDUALVISTA\n     , P.PROMDESCRESIDUALPRAZO\nFROM PRODUTOS P"))
      << p;
  EXPECT_EQ(c.Connvelstrand.Param("Protocol"), "TCPIP");
  EXPECT_EQ(c.Connvelstrand.Param("CharacterSet"), "ISO8859_1");
  EXPECT_EQ(c.TRQExec.mode(), Transaction::Mode::kExplicit);
  EXPECT_EQ(c.TransReadOnly.mode(), Transaction::Mode::kAutomatic);
  EXPECT_FALSE(c.Connvelstrand.Connected());
  c.Connvelstrand.Disconnect();  // disconnecting a disconnected database does nothing
}

// The database and exchange tests run on a copy of this wiring: it must be
// what a site runs.
TEST(SiteDatabase, LayerTestsRunTheSameWiring) {
  SiteDatabase site{platform::Env::Default()};
  quilvane::testing::SiteComponents copy{platform::Env::Default()};
  EXPECT_EQ(site.TBPadrao.sql(), copy.TBPadrao.sql());
  EXPECT_EQ(site.TBProdutos.sql(), copy.TBProdutos.sql());
  EXPECT_EQ(site.Connvelstrand.params(), copy.Connvelstrand.params());
  EXPECT_EQ(site.TRQExec.mode(), copy.TRQExec.mode());
  EXPECT_EQ(site.TransReadOnly.mode(), copy.TransReadOnly.mode());
}

class Lines : public platform::Logger {
 public:
  void DoSaveLog(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

// A log that cannot be written either.
class BrokenLog : public platform::Logger {
 public:
  void DoSaveLog(std::string_view) override { throw platform::Error("log full"); }
};

constexpr char kList[] = "Alteracoes/20231017.csv";

// A list that cannot be written is one line, and never an error: the day
// was applied whatever happens to its list.
TEST(SaveChangesList, LogsWhatFailsAndNeverThrows) {
  struct Case {
    const char* name;
    std::function<void(quilvane::testing::TempDir&)> site;
    std::string list;                // what the day's list holds afterwards
    std::vector<std::string> lines;  // how each logged line starts
  } const cases[] = {
      {"written",
       [](quilvane::testing::TempDir&) {},
       "CODIGO;COLUNA;ANTES;DEPOIS\r\n1;LUCRO;1;2\r\n",
       {}},
      {"a file where the folder goes",
       [](quilvane::testing::TempDir& dir) { dir.Write("Alteracoes", ""); },
       "",
       {"Falha ao gravar a lista de alterações: "}},
  };
  quilvane::testing::FakeEnv env;
  const exchange::Change change{"1", "LUCRO", "1", "2"};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    quilvane::testing::TempDir dir;
    k.site(dir);
    Lines log;
    SaveChangesList(dir.path(), env.Now(), std::span(&change, 1), log, env);
    EXPECT_EQ(platform::FileExists(dir.File(kList)) ? dir.Read(kList) : "", k.list);
    ASSERT_EQ(log.lines.size(), k.lines.size());
    for (std::size_t i = 0; i < k.lines.size(); ++i) {
      EXPECT_TRUE(log.lines[i].starts_with(k.lines[i])) << log.lines[i];
    }
    BrokenLog broken;
    EXPECT_NO_THROW(SaveChangesList(dir.path(), env.Now(), std::span(&change, 1), broken, env));
  }
}

}  // namespace
}  // namespace quilvane::sync
