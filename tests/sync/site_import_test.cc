// The import as a site runs it, against the real Firebird server (label
// integration): the day it records in the settings, and only when the file
// was applied, and the changes list that never fails the day.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/format.h"
#include "exchange/import.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "sync/site_database.h"
#include "tests/exchange/export_rows.h"
#include "tests/support/fake_env.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

using exchange::ImportOptions;
using exchange::ImportResult;
using quilvane::testing::TempDir;

class Lines : public platform::Logger {
 public:
  void DoSaveLog(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

platform::DateTime Day(int y, int m, int d) { return *platform::TryEncodeDate(y, m, d); }

// A statement for `code` that sets PRECOVENDA to `price` and TIPOPROMOCAO to
// `tipo`, every other column NULL.
std::string PriceLine(const std::string& code, const std::string& price,
                      const std::string& tipo = "NULL") {
  std::vector<std::string> literals(exchange::kStatementPartCount, "NULL");
  literals[3] = price;
  literals[4] = tipo;
  literals[24] = "'" + code + "'";
  return exchange::testing::Statement(literals, false);
}

class SiteImportDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILVANE_REQUIRE_FIREBIRD(server);
    db_ = std::make_unique<quilvane::testing::FirebirdDb>(server);
    db_->WriteTolmarcIni(site_.path());
  }
  void Connect() { ASSERT_TRUE(ConectarBanco(c_, site_.path(), log_)); }
  std::string Price(const std::string& code) const {
    return db_->Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '" + code + "'");
  }

  quilvane::testing::FakeEnv env_;  // 17/10/2023, dd/MM/yyyy
  TempDir site_;
  Lines log_;
  std::unique_ptr<quilvane::testing::FirebirdDb> db_;
  SiteDatabase c_{env_};
};

// The day is recorded once the statements are committed, never for a file
// that was not newer, failed, or only tried (-DRYRUN); the earlier of the
// file's day and today, in the regional short date format.
TEST_F(SiteImportDbTest, RecordsTheDayOnlyWhenTheFileWasApplied) {
  struct Case {
    const char* name = "";
    std::string file{};
    platform::DateTime last = 0;
    bool month_first = false;  // regional "MM.dd.yyyy"
    bool dry_run = false;
    const char* settings = "Quilvane.ini";
    bool applied = true;
    std::string error{};                    // what the import's error says, in part; "" none
    std::optional<std::string> recorded{};  // nullopt: nothing written
    std::string price{};                    // P1 afterwards; "" not checked
  };
  const std::string lines = PriceLine("P1", "1.50") + "\r\n" + PriceLine("P2", "2.50") + "\r\n";
  const Case cases[] = {
      {.name = "applied",
       .file = "16/10/2023\r\n" + lines,
       .last = Day(2023, 10, 15),
       .recorded = "16/10/2023",
       .price = "1.50"},
      {.name = "same day",
       .file = "17/10/2023\r\n" + lines,
       .last = Day(2023, 10, 17) + 0.9,
       .applied = false,
       .price = "1.00"},
      {.name = "older",
       .file = "16/10/2023\r\n" + lines,
       .last = Day(2023, 10, 17) + 0.9,
       .applied = false,
       .price = "1.00"},
      // Read day first whatever the region, recorded in the region's format.
      {.name = "month-first region",
       .file = "05-10-2023\r\n" + lines,
       .last = Day(2023, 5, 9),
       .month_first = true,
       .recorded = "10.05.2023"},
      // A head office whose clock runs ahead: today is recorded, not its day.
      {.name = "file from the future",
       .file = "20/12/2023\r\n" + lines,
       .last = Day(2023, 10, 5),
       .month_first = true,
       .recorded = "10.17.2023"},
      {.name = "invalid date line",
       .file = "10/17/2023\r\n" + lines,
       .last = Day(2000, 1, 1),
       .error = "'10/17/2023' is not a valid date",
       .price = "1.00"},
      {.name = "forbidden line",
       .file = "16/10/2023\r\n" + lines + "DELETE FROM PRODUTOS\r\n",
       .last = Day(2023, 10, 1),
       .error = "Comando não permitido na linha 4 do arquivo de sincronização",
       .price = "1.00"},
      {.name = "statement the database refuses",
       .file = "16/10/2023\r\n" + lines + PriceLine("P3", "3.50", "'TOO LONG'") + "\r\n",
       .last = Day(2023, 10, 1),
       .error = "string right truncation"},
      {.name = "dry run",
       .file = "16/10/2023\r\n" + lines,
       .last = Day(2023, 10, 1),
       .dry_run = true,
       .price = "1.00"},
      // The statements stay committed: the next cycle applies the file again.
      {.name = "settings that cannot be written",
       .file = "16/10/2023\r\n" + lines,
       .last = Day(2023, 10, 1),
       .settings = "missing-folder/Quilvane.ini",
       .error = "Unable to write to {settings}",
       .price = "1.50"},
  };
  db_->InsertProduto("P1", {{"PRECOVENDA", "1"}});
  db_->InsertProduto("P2", {{"PRECOVENDA", "1"}});
  db_->InsertProduto("P3", {{"PRECOVENDA", "1"}});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    db_->Execute("UPDATE PRODUTOS SET PRECOVENDA = 1;");
    platform::FormatSettings fs;
    if (k.month_first) {
      fs.date_separator = '.';
      fs.short_date_format = "MM/dd/yyyy";
    }
    env_.set_regional(fs);
    TempDir dir;
    dir.Write("1.SQL", k.file);
    const std::string settings = dir.File(k.settings);
    Connect();
    try {
      const ImportResult r = ImportPrices(c_, dir.File("1.SQL"), k.last, settings, env_,
                                          k.dry_run ? ImportOptions::DryRun() : ImportOptions{});
      EXPECT_EQ(r.applied, k.applied);
      EXPECT_EQ(k.error, "");
    } catch (const platform::Error& e) {
      std::string error = k.error;
      if (const auto at = error.find("{settings}"); at != std::string::npos) {
        error.replace(at, 10, settings);
      }
      EXPECT_FALSE(error.empty()) << e.what();
      EXPECT_NE(std::string(e.what()).find(error), std::string::npos) << e.what();
    }
    if (!k.price.empty()) {
      EXPECT_FALSE(c_.TRQExec.InTransaction());
    }
    c_.Connvelstrand.Disconnect();
    if (!k.price.empty()) {
      EXPECT_EQ(Price("P1"), k.price);
    }
    if (k.recorded) {
      EXPECT_EQ(platform::IniFile(settings).ReadString("Quilvane", "DataUltimaSincronizacao", ""),
                *k.recorded);
    } else {
      EXPECT_FALSE(platform::FileExists(settings));
    }
  }
  EXPECT_TRUE(log_.lines.empty()) << log_.lines.front();
}

// A day without a change still leaves its list (the header): the store sees
// the day was applied. One that cannot be written is logged (the line's
// text: SaveChangesList's table) and the day stands.
TEST_F(SiteImportDbTest, ChangesListThatCannotBeWrittenNeverFailsTheDay) {
  db_->InsertProduto("A", {{"PRECOVENDA", "1.25"}});
  const auto apply = [&](const std::string& price) {
    site_.Write("1.SQL", "17/10/2023\r\n" + PriceLine("A", price) + "\r\n");
    ImportOptions options;
    options.only_changed = true;
    options.on_committed_changes = [&](platform::DateTime day,
                                       const exchange::ChangeRange& changes) {
      SaveChangesList(site_.path(), day, changes, log_, env_);
    };
    Connect();
    const ImportResult r =
        ImportPrices(c_, site_.File("1.SQL"), 0, site_.File("Quilvane.ini"), env_, options);
    c_.Connvelstrand.Disconnect();
    return r;
  };
  const std::string list = site_.File("Alteracoes/20231017.csv");
  apply("1.25");
  EXPECT_EQ(platform::ReadFileToString(list), "CODIGO;COLUNA;ANTES;DEPOIS\r\n");

  platform::DeleteFile(site_.File("Quilvane.ini"));
  // A file where the folder should be.
  std::filesystem::remove_all(site_.File("Alteracoes"));
  platform::WriteFileAtomically(site_.File("Alteracoes"), "");
  const ImportResult r = apply("7");
  EXPECT_TRUE(r.applied);
  EXPECT_EQ(Price("A"), "7.00");
  EXPECT_TRUE(platform::FileExists(site_.File("Quilvane.ini")));  // the day recorded
  EXPECT_EQ(log_.lines.size(), 1u);
}

}  // namespace
}  // namespace quilvane::sync
