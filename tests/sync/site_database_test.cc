// The site's database components as the service wires them.

#include "sync/site_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/db/site_components.h"

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

}  // namespace
}  // namespace quilvane::sync
