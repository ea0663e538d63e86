// SomenteAlterados end to end: a head office day reaches a branch through
// the exchange server, and the branch writes only the products that moved
// and lists them.
#include <ctime>
#include <set>
#include <utility>

#include "tests/e2e/e2e_fixture.h"

namespace quilvane::e2e {
namespace {

std::string Yesterday() { return LocalDay(-1, "%d/%m/%Y"); }

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::vector<std::string>> CsvRows(const std::string& bytes) {
  std::vector<std::vector<std::string>> rows;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    std::vector<std::string> fields;
    std::size_t from = start;
    while (true) {
      const std::size_t semi = bytes.find(';', from);
      if (semi == std::string::npos || semi > end) {
        fields.push_back(bytes.substr(from, end - from));
        break;
      }
      fields.push_back(bytes.substr(from, semi - from));
      from = semi + 1;
    }
    rows.push_back(fields);
    start = end + 2;
  }
  return rows;
}

class ChangesEndToEndTest : public EndToEndTest {
 protected:
  void SysdbaSql(const Site& site, const std::string& sql) {
    const std::string script = root_.path() + "ddl.sql";
    platform::WriteFileAtomically(script, "CONNECT '127.0.0.1/3050:" + site.db +
                                              "' USER 'SYSDBA' PASSWORD '" + sysdba_ + "';\n" +
                                              sql + "\nCOMMIT;\n");
    const std::string out = Capture("isql-fb -q -b -i '" + script + "' 2>&1");
    ASSERT_EQ(out.find("Statement failed"), std::string::npos) << out;
  }
};

TEST_F(ChangesEndToEndTest, BranchWritesAndListsOnlyTheChangedProducts) {
  // A first day makes the branch equal to the head office.
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  ASSERT_EQ(Prices(head_), Prices(branch_));
  EXPECT_FALSE(platform::DirectoryExists(branch_.dir + "Alteracoes"));

  // The next day: three prices move at the head office, and one margin was
  // changed by hand at the branch.
  Sql(head_,
      "UPDATE PRODUTOS SET PRECOVENDA = 12.34 WHERE CODIGO IN ('7891000000037', "
      "'7891000000074', '7891000000111'); COMMIT");
  Sql(branch_, "UPDATE PRODUTOS SET LUCRO = 99 WHERE CODIGO = '7891000000148'; COMMIT");
  // A CHECK constraint's triggers are not the ERP's: -CHECK leaves them out.
  SysdbaSql(branch_,
            "ALTER TABLE PRODUTOS ADD CONSTRAINT PRECO_POSITIVO CHECK (PRECOVENDA >= 0);\n"
            "CREATE TABLE FIRINGS (CODIGO VARCHAR(20));\nGRANT ALL ON FIRINGS TO USUARIO;\n"
            "SET TERM ^ ;\nCREATE TRIGGER PRODUTOS_CONTA FOR PRODUTOS AFTER UPDATE AS BEGIN\n"
            "  INSERT INTO FIRINGS VALUES (NEW.CODIGO);\nEND^\nSET TERM ; ^");
  WriteSettings(head_, "DataUltimaSincronizacao=" + Yesterday() + "\r\n");
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  WriteSettings(branch_, "SomenteAlterados=1\r\nDataUltimaSincronizacao=" + Yesterday() + "\r\n");

  // -CHECK tells about the key and the trigger.
  const std::string check = Capture("cd / && '" + branch_.dir + "quilvane' -CHECK 2>&1");
  EXPECT_NE(check.find("OK     SomenteAlterados: sim"), std::string::npos) << check;
  EXPECT_NE(check.find("OK     Gatilhos de PRODUTOS: PRODUTOS_CONTA (depois de alterar)"),
            std::string::npos)
      << check;

  // The dry run shows the same changes and writes nothing.
  const std::string dry =
      Capture("cd / && '" + branch_.dir + "quilvane' -IMPORT '" + Archive() + "' -DRYRUN 2>&1");
  EXPECT_NE(dry.find("Products changed: 4, unchanged: 296, not found: 0"), std::string::npos)
      << dry;
  EXPECT_NE(dry.find("  7891000000148; LUCRO; 99; "), std::string::npos) << dry;
  EXPECT_NE(dry.find("  7891000000037; PRECOVENDA; "), std::string::npos) << dry;
  EXPECT_EQ(Trimmed(Sql(branch_, "SELECT COUNT(*) FROM FIRINGS")), "0");

  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  EXPECT_EQ(Today(), LastSync(branch_));
  const std::string list_path = branch_.dir + "Alteracoes/" + LocalDay(0, "%Y%m%d") + ".csv";
  ASSERT_TRUE(platform::FileExists(list_path)) << Log(branch_);
  const auto rows = CsvRows(platform::ReadFileToString(list_path));
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], (std::vector<std::string>{"CODIGO", "COLUNA", "ANTES", "DEPOIS"}));
  std::set<std::pair<std::string, std::string>> listed;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 4u);
    listed.insert({rows[i][0], rows[i][1]});
    if (rows[i][1] == "PRECOVENDA") {
      EXPECT_EQ(rows[i][3], "12,34");
    }
    if (rows[i][1] == "LUCRO") {
      EXPECT_EQ(rows[i][2], "99");
    }
  }
  EXPECT_EQ(listed, (std::set<std::pair<std::string, std::string>>{{"7891000000037", "PRECOVENDA"},
                                                                   {"7891000000074", "PRECOVENDA"},
                                                                   {"7891000000111", "PRECOVENDA"},
                                                                   {"7891000000148", "LUCRO"}}));
  // Only the four products were written.
  EXPECT_EQ(Trimmed(Sql(branch_, "SELECT COUNT(*) FROM FIRINGS")), "4");
}

}  // namespace
}  // namespace quilvane::e2e
