// Guards the cycle's outcome table: which steps run, which lines are logged,
// what date is recorded, that the exchange files never outlive a cycle and
// that the timer is always re-armed for 30 minutes.
#include "sync/cycle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "archive/compactar.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/ini_file.h"
#include "platform/file.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "sync/module.h"
#include "sync/receipt.h"
#include "sync/receipt_sender.h"
#include "sync/settings.h"
#include "tests/support/fake_env.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

constexpr char kCnpj[] = "12.345.678/0001-90";

// Operations scripted by the test: each records its call and does what the
// test set, writing the files a real step would leave.
class ScriptedOperations : public Operations {
 public:
  ScriptedOperations(const std::string& dir, Log& log) : dir_(dir), log_(&log) {}

  void Configure(const Settings&) override { calls.push_back("Configure"); }
  bool ConectarBanco() override {
    calls.push_back("ConectarBanco");
    if (!connect_ok) log_->DoSaveLog("Falha na conexão do banco de dados: recusada");
    return connect_ok;
  }
  std::string PadraoCgc() override {
    calls.push_back("PadraoCgc");
    return cgc;
  }
  void ExportPrices(const std::string& path, bool popular) override {
    calls.push_back("ExportPrices " + path + (popular ? " popular" : ""));
    platform::WriteFileAtomically(path, "17/10/2023\r\n");
  }
  bool CompactarArquivo(const std::string& path) override {
    calls.push_back("CompactarArquivo");
    if (!pack_ok) {
      log_->DoSaveLog("Falha ao compactar o arquivo: disco cheio");
      return false;
    }
    platform::WriteFileAtomically(archive::ArchivePathFor(path), "PK");
    return true;
  }
  bool Upload(const std::string& path) override {
    calls.push_back("Upload " + path);
    if (upload_throws) throw platform::Error("Connection Closed Gracefully.");
    if (!upload_ok) log_->DoSaveLog("Falha ao conectar no FTP: recusada");
    return upload_ok;
  }
  std::string DownloadSource(const std::string& digits) override {
    return "http://quilvane.example/halvoraquin/quilvane/" + digits + ".ZIP";
  }
  bool DownloadFile(const std::string& source, const std::string& dest, bool) override {
    calls.push_back("DownloadFile " + source + " " + dest);
    if (download_throws) throw platform::Error("Socket Error # 10061");
    if (download_ok) platform::WriteFileAtomically(dir_ + "12345678000190.SQL", "x");
    return download_ok;
  }
  bool UnpackExchangeFile(const std::string& arquivo, const std::string& member) override {
    calls.push_back("UnpackExchangeFile " + arquivo + " " + member);
    return true;
  }
  exchange::ImportResult ImportPrices(const std::string& path, platform::DateTime last,
                                      const exchange::ImportOptions&) override {
    calls.push_back("ImportPrices " + path);
    imported_against = last;
    if (import_throws) throw platform::Error("File not found");
    return import_result;
  }
  void StoreReceipt(const std::string& local_path, const std::string& name) override {
    calls.push_back("StoreReceipt " + name);
    if (!store_ok) throw platform::Error("Socket Error # 10061");
    stored[name] = platform::ReadFileToString(local_path);
  }
  void PublishStatus() override {
    calls.push_back("PublishStatus");
    if (!publish_ok) throw platform::Error("Socket Error # 10061");
  }
  void CloseQueries() override { calls.push_back("CloseQueries"); }
  void Disconnect() override {
    calls.push_back("Disconnect");
    if (disconnect_throws) throw platform::Error("connection lost at disconnect");
  }

  std::vector<std::string> calls;
  std::string cgc = kCnpj;
  bool connect_ok = true, pack_ok = true, upload_ok = true, upload_throws = false;
  bool download_ok = true, download_throws = false, import_throws = false;
  exchange::ImportResult import_result;
  bool disconnect_throws = false;
  platform::DateTime imported_against = 0;
  bool store_ok = true, publish_ok = true;
  std::map<std::string, std::string> stored;  // receipts by name

 private:
  std::string dir_;
  Log* log_;
};

class CycleTest : public ::testing::Test {
 protected:
  CycleTest() {
    env_.SetNow(2023, 10, 17, 14, 5, 9);
    module_ = std::make_unique<SrvQuilvane>(
        dir_.path(),
        [this](const std::string& dir, Log& log, platform::Env&) {
          auto ops = std::make_unique<ScriptedOperations>(dir, log);
          ops_ = ops.get();
          return ops;
        },
        env_);
    module_->ServiceCreate();
  }

  void WriteSettings(const std::string& body) { dir_.Write("Quilvane.ini", body); }
  void Configure(const std::string& last_sync) {
    std::string body = std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n";
    if (!last_sync.empty()) body += "DataUltimaSincronizacao=" + last_sync + "\r\n";
    WriteSettings(body);
  }
  std::string LogText() { return testing::LogText(dir_.path()); }
  std::string LastSync() {
    return platform::IniFile(dir_.File("Quilvane.ini"))
        .ReadString("Quilvane", "DataUltimaSincronizacao", "");
  }
  bool Ran(const std::string& prefix) {
    for (const auto& c : ops_->calls) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  void ExpectRearmed() {
    EXPECT_TRUE(module_->Timer1().enabled());
    EXPECT_EQ(Cycle::kInterval, module_->Timer1().interval());
  }
  void ExpectNoExchangeFiles() {
    EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.SQL")));
    EXPECT_FALSE(platform::FileExists(dir_.File("12345678000190.ZIP")));
  }

  testing::FakeEnv env_;
  testing::TempDir dir_;
  std::unique_ptr<SrvQuilvane> module_;
  ScriptedOperations* ops_ = nullptr;
};

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

TEST_F(CycleTest, EscapedErrorIsLoggedAloneAfterCleanup) {
  Configure("");
  ops_->cgc = "outra";
  ops_->import_throws = true;
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - File not found\r\n", LogText());
  EXPECT_EQ("Disconnect", ops_->calls.back());
  ExpectNoExchangeFiles();
  ExpectRearmed();
}

TEST_F(CycleTest, BrokenSettingsStillRearmAndDisconnect) {
  platform::CreateDirectories(dir_.File("Quilvane.ini"));  // unreadable: a folder
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_EQ("Disconnect", ops_->calls.back());
  ExpectRearmed();
}

TEST_F(CycleTest, FailingCleanupStepStillRearms) {
  Configure("");
  ops_->cgc = "outra";
  ops_->disconnect_throws = true;
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - connection lost at disconnect\r\n", LogText());
  ExpectNoExchangeFiles();
  ExpectRearmed();
}

TEST_F(CycleTest, FailingCleanupAfterEscapedErrorLogsBoth) {
  Configure("");
  ops_->cgc = "outra";
  ops_->import_throws = true;
  ops_->disconnect_throws = true;
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ(
      "17/10/2023 14:05:09 - connection lost at disconnect\r\n"
      "17/10/2023 14:05:09 - File not found\r\n",
      LogText());
  ExpectRearmed();
}

TEST_F(CycleTest, SettingsWriteFailureEscapes) {
  Configure("16/10/2023");
  platform::SetFileAttributes(dir_.File("Quilvane.ini"), platform::kAttrReadOnly);
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - Unable to write to " + dir_.File("Quilvane.ini") + "\r\n",
            LogText());
  EXPECT_EQ("16/10/2023", LastSync());
  ExpectNoExchangeFiles();
}

TEST_F(CycleTest, UndecodableSettingsAreReportedAndLeftWhole) {
  // UTF-16LE with a high surrogate that has no pair.
  std::string body = "\xFF\xFE";
  for (char c : std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n") body += {c, '\0'};
  body += std::string("\x00\xD8", 2);
  WriteSettings(body);
  ops_->cgc = kCnpj;
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - Unable to read " + dir_.File("Quilvane.ini") +
                ": No mapping for the Unicode character exists in the target multi-byte code "
                "page\r\n",
            LogText());
  EXPECT_FALSE(Ran("ExportPrices"));
  EXPECT_EQ(body, dir_.Read("Quilvane.ini"));
  ExpectRearmed();
}

// As root, settings linked into a folder every user may write are another
// user's to swap (for a link to a file of the system, which the day's write
// would then replace): the cycle says so and does nothing.
TEST_F(CycleTest, SettingsLinkedIntoAFolderOthersCanWriteAreRefusedAsRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "the rule holds for root only";
  std::filesystem::create_directory(dir_.File("shared"));
  ASSERT_EQ(0, ::chmod(dir_.File("shared").c_str(), 0777));
  const std::string body = std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n";
  dir_.Write("shared/Quilvane.ini", body);
  ASSERT_EQ(0,
            ::symlink(dir_.File("shared/Quilvane.ini").c_str(), dir_.File("Quilvane.ini").c_str()));
  ops_->cgc = kCnpj;
  EXPECT_TRUE(module_->RunOnce());
  const std::string link = dir_.File("Quilvane.ini");
  EXPECT_EQ("17/10/2023 14:05:09 - Unable to read " + link + ": " + link + " leads to " +
                dir_.File("shared/Quilvane.ini") +
                ", and users other than its owner and root can write to " + dir_.File("shared") +
                ": refused while running as root\r\n",
            LogText());
  EXPECT_FALSE(Ran("ConectarBanco"));
  EXPECT_EQ(body, dir_.Read("shared/Quilvane.ini"));
  ExpectRearmed();
}

TEST_F(CycleTest, StaleExchangeFilesOfEarlierRunsAreRemoved) {
  Configure("");
  ops_->cgc = "outra";
  ops_->download_ok = false;
  dir_.Write("12345678000190.ZIP", "stale");
  EXPECT_TRUE(module_->RunOnce());
  ExpectNoExchangeFiles();
}

// The fleet view around the cycle: the branch's receipt and the head
// office's status page.
class FleetCycleTest : public CycleTest {
 protected:
  void Branch(const std::string& last_sync, const std::string& extra = "EnviarRecibo=1\r\n") {
    std::string body = std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n" + extra;
    if (!last_sync.empty()) body += "DataUltimaSincronizacao=" + last_sync + "\r\n";
    WriteSettings(body);
    ops_->cgc = "12.345.678/0002-71";
  }
  Receipt Stored() {
    const auto it = ops_->stored.find("12345678000271.txt");
    if (it == ops_->stored.end()) {
      ADD_FAILURE() << "no receipt stored";
      return {};
    }
    const ParsedReceipt parsed = ParseReceipt(it->second);
    EXPECT_EQ("", parsed.error);
    return parsed.receipt.value_or(Receipt{});
  }
  std::string Text() { return platform::AnsiToUtf8(LogText()); }
  size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(FleetCycleTest, WithoutTheKeysNothingChanges) {
  Branch("", "");
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_FALSE(Ran("StoreReceipt"));
  EXPECT_FALSE(Ran("PublishStatus"));
  EXPECT_FALSE(platform::FileExists(PendingReceiptPath(dir_.path())));
  WriteSettings(std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n");
  ops_->cgc = kCnpj;
  ops_->calls.clear();
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_FALSE(Ran("PublishStatus"));
}

TEST_F(FleetCycleTest, ReceiptOfEachOutcome) {
  exchange::ImportResult applied;
  applied.applied = true;
  applied.statements = 297;
  applied.day = *platform::TryEncodeDate(2023, 10, 17);
  applied.unmatched.count = 3;
  applied.unmatched.codes = {"NOVO-1", "NOVO-2", "NOVO-3"};
  struct Case {
    const char* name;
    bool download_ok;
    bool import_throws;
    exchange::ImportResult result;
    Outcome outcome;
    const char* failure;  // a failure line holds it
  };
  const Case cases[] = {
      {"applied", true, false, applied, Outcome::kApplied, nullptr},
      {"not newer", true, false, {}, Outcome::kNothingNew, nullptr},
      {"no download", false, false, {}, Outcome::kFailed, "Não baixou o arquivo!!!"},
      {"import error", true, true, {}, Outcome::kFailed, "File not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Branch("16/10/2023");
    *ops_ = ScriptedOperations(dir_.path(), module_->log());
    Branch("16/10/2023");
    ops_->download_ok = c.download_ok;
    ops_->import_throws = c.import_throws;
    ops_->import_result = c.result;
    module_->RunOnce();
    const Receipt r = Stored();
    EXPECT_EQ(c.outcome, r.outcome);
    EXPECT_EQ("12.345.678/0002-71", r.cgc);
    EXPECT_EQ(LocalMomentOf(
                  *platform::TryEncodeDate(2023, 10, 17) + 14 / 24.0 + 5 / 1440.0 + 9 / 86400.0, 0),
              r.start);
    EXPECT_EQ((Day{2023, 10, 16}), r.recorded_day.value_or(Day{}));
    if (c.outcome == Outcome::kApplied) {
      EXPECT_EQ((Day{2023, 10, 17}), r.file_day.value_or(Day{}));
      EXPECT_EQ(297, r.statements_applied);
      EXPECT_EQ(3, r.unmatched_count);
      EXPECT_EQ((std::vector<std::string>{"NOVO-1", "NOVO-2", "NOVO-3"}), r.unmatched_codes);
    }
    if (c.failure) {
      ASSERT_FALSE(r.failure.empty());
      EXPECT_NE(std::string::npos, r.failure.back().find(c.failure)) << r.failure.back();
      EXPECT_EQ(0u, r.failure.back().rfind("17/10/2023 14:05:09 - ", 0)) << r.failure.back();
    } else {
      EXPECT_TRUE(r.failure.empty());
    }
    EXPECT_FALSE(platform::FileExists(PendingReceiptPath(dir_.path())));
  }
}

// What the branch adds for the head office: its name, the statements of
// products without a code (apart from those not found, and logged), and a
// file two or more days old, applied or not.
TEST_F(FleetCycleTest, ReceiptCarriesNameCodelessStatementsAndAStaleFile) {
  struct Case {
    const char* name;
    bool applied;
    int file_day;  // of October 2023; today is the 17th
    std::optional<Day> stale;
  };
  const Case cases[] = {
      {"applied, three days old", true, 14, Day{2023, 10, 14}},
      {"not newer, two days old", false, 15, Day{2023, 10, 15}},
      {"yesterday's", false, 16, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::DeleteFile(dir_.File("Quilvane.log"));
    *ops_ = ScriptedOperations(dir_.path(), module_->log());
    Branch("01/10/2023", "EnviarRecibo=1\r\nNomeFilial=Loja Centro\r\n");
    exchange::ImportResult r;
    r.applied = c.applied;
    r.read_day = *platform::TryEncodeDate(2023, 10, c.file_day);
    if (c.applied) r.day = r.read_day;
    r.no_code = c.applied ? 2 : 0;
    r.unmatched.count = c.applied ? 1 : 0;
    if (c.applied) r.unmatched.codes = {"NOVO-1"};
    ops_->import_result = r;
    module_->RunOnce();
    const Receipt stored = Stored();
    EXPECT_EQ("Loja Centro", stored.name);
    EXPECT_EQ(c.stale, stored.stale_file_day);
    EXPECT_EQ(r.no_code, stored.no_code_count);
    EXPECT_EQ(r.unmatched.count, stored.unmatched_count);
    EXPECT_EQ(c.applied ? 1u : 0u,
              Count(Text(), " - 2 produto(s) da matriz sem código no arquivo\r\n"))
        << Text();
  }
}

TEST_F(FleetCycleTest, HeadOfficeLeavesNoReceipt) {
  WriteSettings(std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\nEnviarRecibo=1\r\n");
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_FALSE(Ran("StoreReceipt"));
}

// The FTP side down: the receipt waits beside the program, the failure is
// logged once however many ticks pass, a later receipt replaces it, and it
// is stored at the first tick that reaches the server, after the day is done.
TEST_F(FleetCycleTest, ReceiptNotStoredWaitsAndIsLoggedOnce) {
  Branch("");
  ops_->download_ok = false;
  ops_->store_ok = false;
  module_->RunOnce();
  const std::string pending = PendingReceiptPath(dir_.path());
  ASSERT_TRUE(platform::FileExists(pending));
  EXPECT_EQ(1u, Count(Text(), "Falha ao enviar o recibo: Socket Error # 10061"));
  for (int tick = 0; tick < 3; ++tick) module_->RunOnce();
  EXPECT_EQ(1u, Count(Text(), "Falha ao enviar o recibo"));

  exchange::ImportResult applied;
  applied.applied = true;
  applied.day = *platform::TryEncodeDate(2023, 10, 17);
  ops_->import_result = applied;
  ops_->download_ok = true;
  module_->RunOnce();  // applied, but the receipt still cannot go
  EXPECT_EQ(1u, Count(Text(), "Falha ao enviar o recibo"));
  Branch("17/10/2023");  // the day is done: the gate stops the next ticks

  ops_->calls.clear();
  module_->RunOnce();
  EXPECT_FALSE(Ran("ConectarBanco"));
  EXPECT_TRUE(Ran("StoreReceipt 12345678000271.txt"));
  ops_->store_ok = true;
  module_->RunOnce();
  EXPECT_EQ(Outcome::kApplied, Stored().outcome);  // the later receipt replaced the first
  EXPECT_FALSE(platform::FileExists(pending));
  EXPECT_EQ(1u, Count(Text(), "Recibo pendente enviado."));
  ops_->calls.clear();
  module_->RunOnce();
  EXPECT_FALSE(Ran("StoreReceipt"));
}

TEST_F(FleetCycleTest, DamagedPendingReceiptIsDroppedWithALine) {
  Branch("17/10/2023");
  dir_.Write("Quilvane.recibo", "destino=../../etc/passwd\r\nfalha_registrada=0\r\n\r\nx");
  module_->RunOnce();
  EXPECT_FALSE(Ran("StoreReceipt"));
  EXPECT_FALSE(platform::FileExists(PendingReceiptPath(dir_.path())));
  EXPECT_NE(std::string::npos, Text().find("Recibo pendente ilegível descartado"));
}

TEST_F(FleetCycleTest, HeadOfficePublishesAtEveryTickAndLogsAFailureOnce) {
  WriteSettings(std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj +
                "\r\nPublicarStatus=1\r\nDataUltimaSincronizacao=17/10/2023\r\n");
  ops_->publish_ok = false;
  for (int tick = 0; tick < 3; ++tick) EXPECT_TRUE(module_->RunOnce());
  EXPECT_FALSE(Ran("ConectarBanco"));  // the day is done; the page is still refreshed
  EXPECT_EQ(3, std::count(ops_->calls.begin(), ops_->calls.end(), "PublishStatus"));
  EXPECT_EQ(1u, Count(Text(), "Falha ao publicar a página de situação: Socket Error"));
  ops_->publish_ok = true;
  EXPECT_TRUE(module_->RunOnce());
  ops_->publish_ok = false;
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_EQ(2u, Count(Text(), "Falha ao publicar a página de situação"));
  ExpectRearmed();
}

// The page never delays the day's export: the export, its archive and its
// upload come first, and the refresh after the cleanup.
TEST_F(FleetCycleTest, HeadOfficeExportsBeforeItRefreshesThePage) {
  WriteSettings(std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\nPublicarStatus=1\r\n");
  EXPECT_TRUE(module_->RunOnce());
  const auto at = [&](const std::string& prefix) {
    for (size_t i = 0; i < ops_->calls.size(); ++i) {
      if (ops_->calls[i].starts_with(prefix)) return i;
    }
    ADD_FAILURE() << prefix << " did not run";
    return ops_->calls.size();
  };
  EXPECT_LT(at("ExportPrices"), at("CompactarArquivo"));
  EXPECT_LT(at("Upload"), at("Disconnect"));
  EXPECT_LT(at("Disconnect"), at("PublishStatus"));
  EXPECT_EQ("PublishStatus", ops_->calls.back());
}

// A branch whose database is down: the first run of the process has no CGC
// to name a receipt by; once one run read it, a later failure to connect
// still leaves its receipt.
TEST_F(FleetCycleTest, DatabaseDownUsesTheCgcOfAnEarlierRun) {
  Branch("");
  ops_->connect_ok = false;
  module_->RunOnce();
  EXPECT_FALSE(Ran("StoreReceipt"));
  ops_->connect_ok = true;
  ops_->download_ok = false;
  module_->RunOnce();
  ops_->stored.clear();
  ops_->connect_ok = false;
  module_->RunOnce();
  const Receipt r = Stored();
  EXPECT_EQ(Outcome::kFailed, r.outcome);
  ASSERT_FALSE(r.failure.empty());
  EXPECT_NE(std::string::npos, r.failure.back().find("Falha na conex")) << r.failure.back();
}

}  // namespace
}  // namespace quilvane::sync
