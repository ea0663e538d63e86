// Guards the fleet view around the cycle: the branch's receipt (stored, kept
// while the server is down, dropped when damaged) and the head office's
// status page, which never delays the day's export.
#include "platform/codepage.h"
#include "sync/receipt.h"
#include "sync/receipt_sender.h"
#include "tests/sync/cycle_fixture.h"

namespace quilvane::sync {
namespace {

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
