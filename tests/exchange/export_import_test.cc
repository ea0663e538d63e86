// An export at one site imported at another (label "integration").

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "exchange/export.h"
#include "exchange/format.h"
#include "exchange/import.h"
#include "tests/db/site_components.h"
#include "tests/exchange/export_rows.h"
#include "tests/exchange/product_db.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::exchange {
namespace {

using testing::ProductDb;
// The site's database components, as the cycle wires them.
using Components = quilvane::testing::SiteComponents;
using testing::kExportRows;

// The export as the cycle runs it: from TBProdutos.
void ExportPrices(Components& c, const std::string& path, bool popular) {
  exchange::ExportPrices(c.TBProdutos, path, popular, platform::Env::Default());
}

// The import as the cycle runs it: with QExec in TRQExec.
ImportResult ImportPrices(Components& c, const std::string& path, platform::DateTime last) {
  return exchange::ImportPrices(c.Connvelstrand, c.QExec, c.TRQExec, path, last,
                                platform::Env::Default());
}

platform::DateTime Day(int y, int m, int d) { return *platform::TryEncodeDate(y, m, d); }

// -EXPORT at one site, -IMPORT of its file at another with older prices.
TEST(ExportImportDbTest, ImportOfAnExportMakesTheSynchronisedColumnsEqual) {
  for (const bool popular : {false, true}) {
    SCOPED_TRACE(popular);
    quilvane::testing::FakeEnv env;
    quilvane::testing::TempDir dir;
    ProductDb head, branch;
    ASSERT_TRUE(head.ok());
    ASSERT_TRUE(branch.ok());
    ASSERT_TRUE(head.Run(kExportRows));
    // The zero day at 08:00 travels as that day and arrives at midnight,
    // which reads back as no date: leave it out of the comparison.
    ASSERT_TRUE(head.Run("UPDATE PRODUTOS SET FINALPROM = NULL WHERE CODIGO = 'D''AVILA';"));
    ASSERT_TRUE(branch.Run(
        "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA, PRECOFARMACIAPOPULAR, TIPOPROMOCAO,"
        " INICIOPROM) VALUES ('7891234', 2, 7, 'X', '2020-01-01');\n"
        "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA, PRECOFARMACIAPOPULAR) VALUES ('ZERO', 3, 7);\n"
        "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA, PRECOFARMACIAPOPULAR, LUCRO)"
        " VALUES ('D''AVILA', 4, 7, 99);\n"
        "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA, PRECOFARMACIAPOPULAR)"
        " VALUES ('A\xc7\xda"
        "CAR ', 5, 7);\n"));
    {
      Components c{platform::Env::Default()};
      head.Connect(c);
      ExportPrices(c, dir.File("x.SQL"), popular);
    }
    {
      env.SetNow(2023, 10, 18);
      Components c{platform::Env::Default()};
      branch.Connect(c);
      const ImportResult r = ImportPrices(c, dir.File("x.SQL"), Day(2023, 10, 1));
      EXPECT_EQ(r.statements, 5);
    }
    auto head_rows = head.Dump();
    auto branch_rows = branch.Dump();
    head_rows.erase(head_rows.begin());  // the row without CODIGO changes nothing
    ASSERT_EQ(head_rows.size(), branch_rows.size());
    for (std::size_t i = 0; i < head_rows.size(); ++i) {
      if (!popular) {
        // The branch keeps its own popular-pharmacy price.
        auto& h = head_rows[i];
        auto& b = branch_rows[i];
        const auto cut = [](std::string& row) {
          const auto a = row.find('|', row.find('|') + 1);
          const auto e = row.find('|', a + 1);
          const std::string v = row.substr(a + 1, e - a - 1);
          row.erase(a + 1, e - a - 1);
          return v;
        };
        cut(h);
        EXPECT_EQ(cut(b), "7.00");
      }
      // The zero-valued product comes back as NULLs: the file carries no zero.
      EXPECT_EQ(branch_rows[i], head_rows[i]);
    }
  }
}

}  // namespace
}  // namespace quilvane::exchange
