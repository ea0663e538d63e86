// Guards that the statements a branch runs are the bytes its checks passed:
// the exchange file replaced at its path after the signature and every line
// were checked (a second process, or the cycle's own download renaming a new
// member over it) must never be what runs, with or without ChavePublica.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/signature.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "platform/file.h"
#include "sync/cycle.h"
#include "sync/exchange_steps.h"
#include "sync/signed_exchange.h"
#include "sync/site_operations.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

constexpr char kMember[] = "12345678000190.SQL";

class Lines : public platform::Logger {
 public:
  void DoSaveLog(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

class AppliedBytesDbTest : public ::testing::Test {
 protected:
  // The exchange file the database exports with product 1 at `price`, and
  // the price as the database then shows it.
  std::pair<std::string, std::string> ExportAt(const testing::FirebirdDb& db, Operations& ops,
                                               const std::string& dir, const char* price) {
    db.Execute(std::string("UPDATE PRODUTOS SET PRECOVENDA = ") + price + " WHERE CODIGO = '1';");
    const std::string path = dir + "export.SQL";
    EXPECT_TRUE(ops.ConectarBanco());
    ops.ExportPrices(path, false);
    CleanupSite(ops, "");
    std::string bytes = platform::ReadFileToString(path);
    platform::DeleteFile(path);
    return {bytes, db.Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '1'")};
  }
};

TEST_F(AppliedBytesDbTest, AFileSwappedAfterItsChecksIsNeverApplied) {
  QUILVANE_REQUIRE_FIREBIRD(server);
  const testing::FirebirdDb db(server);
  db.InsertProduto("1", {{"PRECOVENDA", "1.25"}});
  platform::Env& env = platform::Env::Default();
  const auto two_days_ago = static_cast<platform::DateTime>(platform::DayOf(env.Now()) - 2);

  for (const bool keyed : {false, true}) {
    SCOPED_TRACE(keyed ? "ChavePublica" : "no key");
    testing::TempDir dir;
    db.WriteTolmarcIni(dir.path());
    Lines log;
    const auto ops = MakeSiteOperations(dir.path(), log, env);
    Settings settings;
    settings.cnpj_servidor = "12.345.678/0001-90";
    ops->Configure(settings);
    const auto [genuine, genuine_price] = ExportAt(db, *ops, dir.path(), "2.50");
    const auto [forged, forged_price] = ExportAt(db, *ops, dir.path(), "0.01");
    ASSERT_NE(genuine_price, forged_price);
    db.Execute("UPDATE PRODUTOS SET PRECOVENDA = 5.00 WHERE CODIGO = '1';");

    const std::string sql = dir.File(kMember);
    if (keyed) {
      // The head office's signed archive, unpacked as a download is.
      std::filesystem::create_directory(dir.File("matriz"));
      dir.Write(std::string("matriz/") + kMember, genuine);
      const exchange::PrivateKey key = exchange::GenerateKeyFile(dir.File("matriz/Quilvane.key"));
      ASSERT_TRUE(CompactarArquivo(dir.File(std::string("matriz/") + kMember), log, env,
                                   dir.File("matriz/Quilvane.key")));
      settings.chave_publica = exchange::EncodePublicKey(key.public_key());
      ops->Configure(settings);
      ASSERT_TRUE(ops->UnpackExchangeFile(dir.File("matriz/12345678000190.ZIP"), kMember));
    } else {
      dir.Write(kMember, genuine);
    }
    ASSERT_EQ(genuine, dir.Read(kMember));

    exchange::ImportOptions options;
    bool swapped = false;
    // Every check has passed; the next read of the path would see the
    // forged file.
    options.before_first_statement = [&] {
      platform::WriteFileAtomically(sql, forged);
      swapped = true;
    };
    ASSERT_TRUE(ops->ConectarBanco());
    const exchange::ImportResult r = ops->ImportPrices(sql, two_days_ago, options);
    CleanupSite(*ops, "");
    EXPECT_TRUE(swapped);
    EXPECT_TRUE(r.applied);
    EXPECT_EQ(1, r.statements);
    EXPECT_EQ(genuine_price, db.Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '1'"));
    EXPECT_TRUE(log.lines.empty()) << log.lines.front();
    // The private copy went with the import.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_NE(".tmp", entry.path().extension().string()) << entry.path();
    }
  }
}

}  // namespace
}  // namespace quilvane::sync
