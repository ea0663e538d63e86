// -CHECK's items that need no working site: the settings, the download
// addresses' rating and the clock. Whole sites are checked end to end.
#include "sync/site_check.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "exchange/signature.h"
#include "platform/file.h"
#include "sync/site_check_verdicts.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "transfer/http_client.h"

namespace quilvane::sync {
namespace {

// A site whose database cannot be reached: its role stays unknown, so only
// the settings, the folder, the log and the clock are checked. Nothing
// listens on port 1; the clock's request goes to `web_port`.
struct Site {
  testing::TempDir dir;
  explicit Site(const std::string& settings) {
    if (!settings.empty()) dir.Write("Quilvane.ini", "[Quilvane]\r\n" + settings);
    dir.Write("tolmarc.ini",
              "[Tolmarc]\r\nServidor=127.0.0.1\r\nCaminho=" + dir.path() + "none.fdb\r\n");
  }
};

const CheckResult* Find(const std::vector<CheckResult>& results, const std::string& item) {
  for (const CheckResult& r : results) {
    if (r.item == item) return &r;
  }
  return nullptr;
}

std::string Dump(const std::vector<CheckResult>& results) {
  std::string out;
  for (const CheckResult& r : results) {
    out += std::string(CheckStatusText(r.status)) + " " + r.item + ": " + r.detail + "\n";
  }
  return out;
}

constexpr char kServers[] = "ServidorFTP=127.0.0.1:1\r\nDominioWeb=localhost:1\r\n";

TEST(SiteCheck, SettingsItems) {
  testing::FakeEnv env;
  env.SetNow(2026, 12, 10);
  const std::string key = exchange::EncodePublicKey(exchange::PublicKey{1, 2, 3});
  struct Case {
    std::string settings;  // empty: no Quilvane.ini
    const char* item;
    CheckStatus status;
    const char* detail;  // a part of it
  };
  const std::string cnpj = "CNPJServidor=12.345.678/0001-90\r\n";
  const Case cases[] = {
      {"", "Configuração", CheckStatus::kFailure, "Quilvane.ini não existe"},
      {std::string(kServers), "CNPJServidor", CheckStatus::kFailure, "vazio"},
      {"CNPJServidor=123\r\n" + std::string(kServers), "CNPJServidor", CheckStatus::kWarning,
       "14 números"},
      {cnpj + kServers, "CNPJServidor", CheckStatus::kOk, "12.345.678/0001-90"},
      {cnpj + "ServidorFTP=127.0.0.1:99999\r\n", "Servidor de troca", CheckStatus::kFailure,
       "ServidorFTP"},
      {cnpj + "ServidorFTP=127.0.0.1:1\r\nDominioWeb=a b\r\n", "Servidor de troca",
       CheckStatus::kFailure, "DominioWeb"},
      {cnpj + kServers, "Servidor de troca", CheckStatus::kOk,
       "FTP 127.0.0.1:1 como sincronizador@quilvane.example, web http://www.localhost:1"},
      {cnpj + kServers + "SincronizarPrecoFarmaciaPopular=talvez\r\n",
       "SincronizarPrecoFarmaciaPopular", CheckStatus::kWarning, "\"talvez\" não é um número"},
      {cnpj + kServers + "SincronizarPrecoFarmaciaPopular=1\r\n", "SincronizarPrecoFarmaciaPopular",
       CheckStatus::kOk, "sim"},
      {cnpj + kServers + "ChavePublica=abc\r\n", "ChavePublica", CheckStatus::kFailure, "key 1"},
      {cnpj + kServers + "ChavePublica=" + key + ", " + key + "\r\n", "ChavePublica",
       CheckStatus::kOk, "2 chaves"},
      {cnpj + kServers, "Última sincronização", CheckStatus::kOk, "nenhuma registrada"},
      {cnpj + kServers + "DataUltimaSincronizacao=31/02/2026\r\n", "Última sincronização",
       CheckStatus::kWarning, "não é uma data como 10/12/2026"},
      {cnpj + kServers + "DataUltimaSincronizacao=11/12/2026\r\n", "Última sincronização",
       CheckStatus::kWarning, "no futuro"},
      {cnpj + kServers + "DataUltimaSincronizacao=10/12/2026\r\n", "Última sincronização",
       CheckStatus::kOk, "(hoje)"},
      {cnpj + kServers + "DataUltimaSincronizacao=09/12/2026\r\n", "Última sincronização",
       CheckStatus::kOk, "09/12/2026: o próximo ciclo sincroniza"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    const Site site(c.settings);
    const std::vector<CheckResult> results = CheckSite(site.dir.path(), env);
    const CheckResult* r = Find(results, c.item);
    ASSERT_NE(nullptr, r) << Dump(results);
    EXPECT_EQ(c.status, r->status) << Dump(results);
    EXPECT_NE(std::string::npos, r->detail.find(c.detail)) << Dump(results);
    // Never a working site here: the database is missing.
    EXPECT_FALSE(SiteReady(results));
    ASSERT_NE(nullptr, Find(results, "Banco de dados"));
    EXPECT_EQ(CheckStatus::kFailure, Find(results, "Banco de dados")->status);
    // Neither a log nor a probe file is left behind.
    EXPECT_EQ(c.settings.empty() ? 1 : 2,
              std::distance(std::filesystem::directory_iterator(site.dir.path()),
                            std::filesystem::directory_iterator()));
  }
}

// SenhaFTP is worth something only while others cannot read it: -CHECK
// warns when every local user can read the file that holds it, or when it
// would cross the network in clear, and never shows it.
TEST(SiteCheck, SitePasswordIsKeptPrivateAndOffTheWire) {
  testing::FakeEnv env;
  env.SetNow(2026, 12, 10);
  const std::string cnpj = "CNPJServidor=12.345.678/0001-90\r\nDominioWeb=localhost:1\r\n";
  const std::string password = "SenhaFTP=n40-m0stre\r\n";
  struct Case {
    const char* name;
    std::string settings;
    bool world_readable;
    CheckStatus status;
    std::vector<const char*> details;  // parts of it; none: no item
  };
  const Case cases[] = {
      {"private_and_tls",
       cnpj + password + "ServidorFTP=ftpes://127.0.0.1:1\r\n",
       false,
       CheckStatus::kOk,
       {"definida (não mostrada)"}},
      {"readable_by_all",
       cnpj + password + "ServidorFTP=ftps://127.0.0.1:1\r\n",
       true,
       CheckStatus::kWarning,
       {"pode ser lido por qualquer usuário", "chmod 600", "icacls"}},
      {"plain_ftp",
       cnpj + password + "ServidorFTP=127.0.0.1:1\r\n",
       false,
       CheckStatus::kWarning,
       {"ServidorFTP não usa TLS", "ftpes://"}},
      {"both",
       cnpj + password + "ServidorFTP=127.0.0.1:1\r\n",
       true,
       CheckStatus::kWarning,
       {"pode ser lido por qualquer usuário", "ServidorFTP não usa TLS"}},
      {"built_in_password", cnpj + "ServidorFTP=127.0.0.1:1\r\n", true, CheckStatus::kOk, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Site site(c.settings);
    const mode_t mode = c.world_readable ? 0755 : 0700;
    ASSERT_EQ(0, ::chmod(site.dir.path().c_str(), mode));
    ASSERT_EQ(0, ::chmod(site.dir.File("Quilvane.ini").c_str(), mode & 0644));
    const std::vector<CheckResult> results = CheckSite(site.dir.path(), env);
    const CheckResult* r = Find(results, "SenhaFTP");
    if (c.details.empty()) {
      EXPECT_EQ(nullptr, r) << Dump(results);
      continue;
    }
    ASSERT_NE(nullptr, r) << Dump(results);
    EXPECT_EQ(c.status, r->status) << Dump(results);
    for (const char* part : c.details) {
      EXPECT_NE(std::string::npos, r->detail.find(part)) << part << "\n" << Dump(results);
    }
    EXPECT_EQ(std::string::npos, Dump(results).find("n40-m0stre")) << Dump(results);
  }
}

TEST(SiteCheck, ReadyUnlessAnItemFails) {
  EXPECT_TRUE(SiteReady({}));
  EXPECT_TRUE(SiteReady({{CheckStatus::kOk, "a", ""}, {CheckStatus::kWarning, "b", ""}}));
  EXPECT_FALSE(SiteReady({{CheckStatus::kOk, "a", ""}, {CheckStatus::kFailure, "b", ""}}));
}

TEST(SiteCheck, DownloadAddressesCountAsTheCycleUsesThem) {
  using S = CheckStatus;
  const AddressProbe kZip{true, true}, kOther{true, false}, kNone{false, false};
  struct Case {
    std::vector<AddressProbe> probes;
    std::vector<CheckStatus> rating;
  };
  const Case cases[] = {
      {{kZip, kZip, kZip}, {S::kOk, S::kOk, S::kOk}},
      // The spares after the address in use are never reached.
      {{kZip, kNone, kNone}, {S::kOk, S::kOk, S::kOk}},
      {{kZip, kOther, kNone}, {S::kOk, S::kOk, S::kOk}},
      // Passed over on the way to the one that serves: only time lost.
      {{kNone, kNone, kZip}, {S::kWarning, S::kWarning, S::kOk}},
      {{kNone, kZip, kNone}, {S::kWarning, S::kOk, S::kOk}},
      // Nothing serves the archive.
      {{kNone, kNone, kNone}, {S::kFailure, S::kFailure, S::kFailure}},
      // The first answer is no archive: the cycle stops there and fails,
      // however good the later addresses are.
      {{kOther, kZip, kZip}, {S::kFailure, S::kOk, S::kOk}},
      {{kNone, kOther, kNone}, {S::kFailure, S::kFailure, S::kFailure}},
  };
  for (const Case& c : cases) {
    const std::vector<CheckStatus> rating = RateDownloadAddresses(c.probes);
    EXPECT_EQ(c.rating, rating) << ::testing::PrintToString(static_cast<int>(&c - cases));
  }
}

TEST(SiteCheck, CertificateWarnsThreeWeeksAhead) {
  constexpr std::int64_t kNow = 1'800'000'000, kDay = 86400;
  struct Case {
    std::int64_t not_after;
    CheckStatus status;
  };
  const Case cases[] = {
      {kNow + 90 * kDay, CheckStatus::kOk},
      {kNow + 21 * kDay, CheckStatus::kOk},
      {kNow + 21 * kDay - 1, CheckStatus::kWarning},
      {kNow + 1, CheckStatus::kWarning},
      {kNow, CheckStatus::kFailure},
      {kNow - 400 * kDay, CheckStatus::kFailure},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, RateCertificate(c.not_after, kNow)) << (c.not_after - kNow);
  }
}

// A web side whose clock is the one given: every request answers 404 with
// that Date, as for a head office that has not sent its archive yet.
TEST(SiteCheck, ClockAgainstTheExchangeServersDate) {
  const std::string date = "Thu, 10 Dec 2026 12:00:00 GMT";
  const std::int64_t server_time = *transfer::ParseHttpDate(date);
  struct Case {
    std::int64_t local_minus_server;
    CheckStatus status;
    const char* detail;
  };
  const Case cases[] = {
      {30, CheckStatus::kOk, "diferença de 30 s"},
      {-290, CheckStatus::kOk, "diferença de 4 min"},
      {600, CheckStatus::kWarning, "10 min adiantado"},
      {-3600, CheckStatus::kWarning, "60 min atrasado"},
  };
  testing::FakeEnv env;
  env.SetNow(2026, 12, 10, 9);
  const int n = static_cast<int>(std::size(cases));
  testing::ScriptedPeer web(
      [&](testing::PeerConnection& conn, int) {
        conn.ReadRequestHead();
        conn.Send("HTTP/1.1 404 Not Found\r\nDate: " + date +
                  "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        conn.ClientClosed();
      },
      n);
  for (const Case& c : cases) {
    const Site site(
        "CNPJServidor=12.345.678/0001-90\r\nServidorFTP=127.0.0.1:1\r\n"
        "DominioWeb=localhost:" +
        std::to_string(web.port()) + "\r\n");
    SiteCheckOptions options;
    options.utc_now = [&] { return server_time + c.local_minus_server; };
    const std::vector<CheckResult> results = CheckSite(site.dir.path(), env, options);
    const CheckResult* r = Find(results, "Relógio");
    ASSERT_NE(nullptr, r) << Dump(results);
    EXPECT_EQ(c.status, r->status) << Dump(results);
    EXPECT_NE(std::string::npos, r->detail.find(c.detail)) << Dump(results);
  }
  web.Join();
  EXPECT_EQ(n, web.accepted());
  EXPECT_TRUE(web.failures().empty());
}

TEST(SiteCheck, ClockUncheckedWhenTheWebSideIsDown) {
  testing::FakeEnv env;
  env.SetNow(2026, 12, 10);
  const Site site(std::string("CNPJServidor=12.345.678/0001-90\r\n") + kServers);
  const std::vector<CheckResult> results = CheckSite(site.dir.path(), env);
  const CheckResult* r = Find(results, "Relógio");
  ASSERT_NE(nullptr, r) << Dump(results);
  EXPECT_EQ(CheckStatus::kWarning, r->status);
}

TEST(SiteCheck, LogIsOpenedButNeverWritten) {
  testing::FakeEnv env;
  env.SetNow(2026, 12, 10);
  const Site site(std::string("CNPJServidor=12.345.678/0001-90\r\n") + kServers);
  const std::string log = "09/12/2026 03:00:00 - Não baixou o arquivo!!!\r\n";
  site.dir.Write("Quilvane.log", log);
  std::vector<CheckResult> results = CheckSite(site.dir.path(), env);
  const CheckResult* r = Find(results, "Log");
  ASSERT_NE(nullptr, r) << Dump(results);
  EXPECT_EQ(CheckStatus::kOk, r->status) << r->detail;
  EXPECT_EQ(log, site.dir.Read("Quilvane.log"));

  // A folder where the log should be: the service could not write it.
  std::filesystem::remove(site.dir.File("Quilvane.log"));
  std::filesystem::create_directory(site.dir.File("Quilvane.log"));
  results = CheckSite(site.dir.path(), env);
  r = Find(results, "Log");
  ASSERT_NE(nullptr, r) << Dump(results);
  EXPECT_EQ(CheckStatus::kFailure, r->status);
  EXPECT_NE(std::string::npos, r->detail.find("Quilvane.log")) << r->detail;
}

}  // namespace
}  // namespace quilvane::sync
