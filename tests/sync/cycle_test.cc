// Guards the cycle's outcome table: which steps run, which lines are logged,
// what date is recorded, that the exchange files never outlive a cycle and
// that the timer is always re-armed for 30 minutes.
#include <functional>

#include "platform/codepage.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "tests/sync/cycle_fixture.h"

namespace quilvane::sync {
namespace {

TEST_F(CycleTest, NoSettingsFileDoesNothing) {
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_EQ((std::vector<std::string>{"Configure", "CloseQueries", "Disconnect"}), ops_->calls);
  EXPECT_EQ("", LogText());
  EXPECT_FALSE(platform::FileExists(dir_.File("Quilvane.log")));
  ExpectRearmed();
}

// An operator's switch holds the lock beside the program: the service's
// ticks run nothing (not even the settings read), say who holds it once for
// the whole wait, and keep the timer going; the first tick after it runs.
TEST_F(CycleTest, TicksWhileASwitchHoldsTheLockRunNothingAndSayItOnce) {
  Configure("16/10/2023");
  const std::string busy = "Ciclo adiado: Quilvane j\xE1 em execu\xE7\xE3o (processo " +
                           std::to_string(platform::CurrentProcessId()) + ", -IMPORT)";
  for (int wait = 1; wait <= 2; ++wait) {
    SCOPED_TRACE(wait);
    {
      const auto lock = platform::InstanceLock::TryTake(dir_.File("Quilvane.lock"), "-IMPORT");
      ASSERT_TRUE(lock.has_value());
      ops_->calls.clear();
      for (int tick = 0; tick < 3; ++tick) {
        module_->Timer1Timer();
        ExpectRearmed();
      }
      EXPECT_FALSE(module_->RunOnce());  // -ONCE: refused, exit 1
      EXPECT_TRUE(ops_->calls.empty());
      EXPECT_EQ(wait, testing::Count(LogText(), busy)) << LogText();
    }
    module_->Timer1Timer();
    EXPECT_TRUE(Ran("Upload"));
    ExpectRearmed();
    Configure("16/10/2023");
  }
  // The cycle let the lock go when it ended.
  EXPECT_TRUE(platform::InstanceLock::TryTake(dir_.File("Quilvane.lock"), "-IMPORT").has_value());
}

TEST_F(CycleTest, DailyGate) {
  struct Case {
    const char* name;
    const char* recorded;
    bool works;
  };
  const Case cases[] = {
      {"missing", "", true},
      {"not_a_date", "ontem", true},
      {"yesterday", "16/10/2023", true},
      {"today", "17/10/2023", false},
      {"today_other_order", "10/17/2023", true},  // unreadable here: counts as missing
      {"future", "18/10/2030", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Configure(c.recorded);
    ops_->calls.clear();
    ops_->upload_ok = false;  // keep the recorded date as it is
    EXPECT_TRUE(module_->RunOnce());
    EXPECT_EQ(c.works, Ran("ConectarBanco"));
    ExpectRearmed();
  }
}

TEST_F(CycleTest, FutureDateIsLoggedAndIgnored) {
  Configure("18/10/2030");
  ops_->cgc = "outra";
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_NE(std::string::npos, LogText().find("18/10/2030"));
  // The branch imports against today minus 90 days.
  EXPECT_EQ(*platform::TryEncodeDate(2023, 7, 19), ops_->imported_against);
}

TEST_F(CycleTest, HeadOfficeSuccessRecordsToday) {
  Configure("16/10/2023");
  WriteSettings(std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj +
                "\r\nDataUltimaSincronizacao=16/10/2023\r\nSincronizarPrecoFarmaciaPopular=1\r\n");
  EXPECT_TRUE(module_->RunOnce());
  const std::string sql = dir_.File("12345678000190.SQL");
  EXPECT_EQ((std::vector<std::string>{"Configure", "ConectarBanco", "PadraoCgc",
                                      "ExportPrices " + sql + " popular", "CompactarArquivo",
                                      "Upload " + dir_.File("12345678000190.ZIP"), "CloseQueries",
                                      "Disconnect"}),
            ops_->calls);
  EXPECT_EQ("17/10/2023", LastSync());
  EXPECT_EQ("", LogText());
  ExpectNoExchangeFiles();
  ExpectRearmed();
}

TEST_F(CycleTest, HeadOfficeFailures) {
  struct Case {
    const char* name;
    std::function<void(ScriptedOperations&)> arrange;
    const char* line;
    bool escapes;
  };
  const Case cases[] = {
      {"connection", [](auto& o) { o.connect_ok = false; },
       "Falha na conexão do banco de dados: recusada", false},
      {"packing", [](auto& o) { o.pack_ok = false; }, "Falha ao compactar o arquivo: disco cheio",
       false},
      {"upload", [](auto& o) { o.upload_ok = false; }, "Falha ao conectar no FTP: recusada", false},
      {"upload_raised", [](auto& o) { o.upload_throws = true; }, "Connection Closed Gracefully.",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Configure("16/10/2023");
    dir_.Write("Quilvane.log", "");
    ops_->calls.clear();
    *ops_ = ScriptedOperations(dir_.path(), module_->log());
    c.arrange(*ops_);
    EXPECT_EQ(!c.escapes, module_->RunOnce());
    EXPECT_EQ(std::string("17/10/2023 14:05:09 - ") + c.line + "\r\n",
              platform::AnsiToUtf8(LogText()));
    EXPECT_EQ("16/10/2023", LastSync());
    ExpectNoExchangeFiles();
    EXPECT_EQ("Disconnect", ops_->calls.back());
    ExpectRearmed();
  }
}

TEST_F(CycleTest, RoleComparesRawText) {
  Configure("");
  ops_->cgc = "12345678000190";  // the same digits, unpunctuated: a branch
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_TRUE(
      Ran("DownloadFile http://quilvane.example/halvoraquin/quilvane/12345678000190.ZIP "
          "12345678000190.ZIP"));
  EXPECT_FALSE(Ran("ExportPrices"));
}

// A branch that lacks products the head office prices says so once per
// import: the count, at most 20 codes, "…" past them; nothing when none.
TEST_F(CycleTest, BranchLogsTheCodesItDoesNotHave) {
  struct Case {
    int count;
    int codes;
    std::string expected;  // "" : no line
  };
  std::string twenty;
  for (int i = 1; i <= 20; ++i) twenty += (i > 1 ? ", C" : "C") + std::to_string(i);
  const Case cases[] = {
      {0, 0, ""},
      {2, 2, "2 produto(s) da matriz não encontrado(s) nesta filial: C1, C2"},
      {20, 20, "20 produto(s) da matriz não encontrado(s) nesta filial: " + twenty},
      {1000, 50, "1000 produto(s) da matriz não encontrado(s) nesta filial: " + twenty + ", …"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    platform::DeleteFile(dir_.File("Quilvane.log"));
    Configure("");
    ops_->cgc = "99.999.999/0001-99";
    ops_->import_result.applied = true;
    ops_->import_result.unmatched.count = c.count;
    ops_->import_result.unmatched.codes.clear();
    for (int i = 1; i <= c.codes; ++i) {
      ops_->import_result.unmatched.codes.push_back("C" + std::to_string(i));
    }
    EXPECT_TRUE(module_->RunOnce());
    const std::string log = platform::AnsiToUtf8(LogText());
    if (c.expected.empty()) {
      EXPECT_EQ(log.find("não encontrado"), std::string::npos) << log;
    } else {
      EXPECT_EQ(testing::Count(log, c.expected + "\r\n"), 1) << log;
    }
  }
}

TEST_F(CycleTest, EmptyPadraoActsAsBranch) {
  Configure("");
  ops_->cgc = "";
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_TRUE(Ran("ImportPrices " + dir_.File("12345678000190.SQL")));
  ExpectNoExchangeFiles();
}

TEST_F(CycleTest, CnpjWithoutDigitsNamesBareExtension) {
  WriteSettings("[Quilvane]\r\nCNPJServidor=matriz\r\n");
  ops_->cgc = "filial";
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_TRUE(Ran("DownloadFile http://quilvane.example/halvoraquin/quilvane/.ZIP .ZIP"));
  EXPECT_TRUE(Ran("ImportPrices " + dir_.File(".SQL")));
}

TEST_F(CycleTest, BranchDownloadFailures) {
  struct Case {
    const char* name;
    bool raises;
    const char* log;
  };
  const Case cases[] = {
      {"returned_false", false, "17/10/2023 14:05:09 - Não baixou o arquivo!!!\r\n"},
      {"raised", true,
       "17/10/2023 14:05:09 - Falha ao realizar o download do arquivo: Socket Error # 10061\r\n"
       "17/10/2023 14:05:09 - Não baixou o arquivo!!!\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Configure("");
    dir_.Write("Quilvane.log", "");
    *ops_ = ScriptedOperations(dir_.path(), module_->log());
    ops_->cgc = "outra";
    ops_->download_ok = false;
    ops_->download_throws = c.raises;
    EXPECT_TRUE(module_->RunOnce());
    EXPECT_EQ(c.log, platform::AnsiToUtf8(LogText()));
    EXPECT_FALSE(Ran("ImportPrices"));
    EXPECT_EQ("", LastSync());
    ExpectRearmed();
  }
}
}  // namespace
}  // namespace quilvane::sync
