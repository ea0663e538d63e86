// -CHECK's probes: what the site has, read and tried without changing it.
// What each finding means is judged in sync/site_check_verdicts.h.
#include "sync/site_check.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "db/fbclient.h"
#include "exchange/literal.h"
#include "exchange/signature.h"
#include "platform/datetime.h"
#include "platform/disk_space.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/library.h"
#include "platform/private_file.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/text.h"
#include "platform/tls.h"
#include "sync/settings.h"
#include "sync/site_check_ftp.h"
#include "sync/site_check_triggers.h"
#include "sync/site_check_verdicts.h"
#include "sync/site_database.h"
#include "sync/site_files.h"
#include "transfer/download.h"
#include "transfer/exchange_server.h"
#include "transfer/http_client.h"

namespace quilvane::sync {
namespace {

constexpr const char* kSection = kSettingsSection;

// Thrown by a download probe's sink once the first bytes are in: the
// archive's presence and kind are known without fetching it whole.
struct EnoughBytes {};

std::string Header(const transfer::HttpClient& http, std::string_view name) {
  for (const auto& h : http.response_headers()) {
    if (platform::EqualsIgnoreAsciiCase(h.name, name)) return h.value;
  }
  return {};
}

class SiteChecker {
 public:
  SiteChecker(const std::string& dir, platform::Env& env, const SiteCheckOptions& options)
      : dir_(dir), env_(env), options_(options) {}

  std::vector<CheckResult> Run() {
    CheckSettings();
    CheckClientLibrary();
    CheckDatabase();
    if (role_ == SiteRole::kHeadOffice) {
      CheckFtp();
      CheckSigningKey();
    } else if (role_ == SiteRole::kBranch) {
      CheckDownloads();
    }
    CheckProgramFolder();
    CheckLog();
    CheckClock();
    return std::move(results_);
  }

 private:
  void Add(CheckResult result) {
    result.detail = OneLine(result.detail);
    results_.push_back(std::move(result));
    if (options_.on_result) options_.on_result(results_.back());
  }
  void Add(std::optional<CheckResult> result) {
    if (result) Add(std::move(*result));
  }
  void Add(CheckStatus status, std::string item, std::string detail) {
    Add(CheckResult{status, std::move(item), std::move(detail)});
  }
  CheckSink Sink() {
    return [this](CheckStatus status, std::string item, std::string detail) {
      Add(status, std::move(item), std::move(detail));
    };
  }

  std::int64_t UtcNow() const {
    if (options_.utc_now) return options_.utc_now();
    return platform::UnixSecondsOf(env_.UtcNow());
  }
  ClockReading Clock() { return {UtcNow(), env_.Now(), env_.Regional()}; }

  void CheckSettings() {
    const char* item = "Configuração";
    const std::string path = SettingsPath(dir_);
    if (!platform::FileExists(path)) {
      Add(CheckStatus::kFailure, item,
          path + " não existe: crie-o com a seção [Quilvane] e CNPJServidor=<CNPJ da matriz>");
      return;
    }
    try {
      platform::File(path, platform::File::Mode::kRead).Close();
    } catch (const std::exception& e) {
      Add(CheckStatus::kFailure, item,
          std::string(e.what()) + ": dê ao serviço permissão de leitura");
      return;
    }
    const platform::IniSnapshot ini(path);
    settings_ = ReadSettings(path, env_);
    cnpj_ = settings_.cnpj_servidor;
    digits_ = exchange::ExtraiNumero(cnpj_);
    Add(JudgeCnpj(cnpj_, path));

    try {
      server_ = ExchangeServerOf(settings_);
      server_ok_ = true;
      Add(CheckStatus::kOk, "Servidor de troca",
          "FTP " + transfer::FtpAddress(server_) + " como " + server_.ftp_user + ", web " +
              transfer::WebBaseAddress(server_));
    } catch (const std::exception& e) {
      Add(CheckStatus::kFailure, "Servidor de troca",
          std::string(e.what()) + ": corrija em " + kSettingsFileName);
    }
    if (server_ok_ && !settings_.senha_ftp.empty()) CheckFtpPassword(path, server_, Sink());

    Add(JudgePopularPrices(ini.ReadString(kSection, "SincronizarPrecoFarmaciaPopular", "")));
    Add(JudgePublicKeys(ini.ReadString(kSection, "ChavePublica", "")));
    Add(JudgeLastSync(ini.ReadString(kSection, "DataUltimaSincronizacao", ""), env_.Now(),
                      env_.Regional()));
  }

  void CheckClientLibrary() {
    const std::vector<std::string> names = db::FbClient::DefaultLibraryNames();
    ClientLibraryProbe probe;
    for (const std::string& name : names) {
      platform::LibraryLoadFailure failure;
      platform::DynamicLibrary lib = platform::DynamicLibrary::Load(name, &failure);
      if (!lib.loaded()) {
        probe.last_error = failure.message;
        if (!failure.foreign_architecture.empty()) {
          probe.last_error += " (" + failure.foreign_architecture + ")";
        }
        continue;
      }
      probe.file = lib.FilePath();
      if (probe.file.empty()) probe.file = name;
      probe.has_entry = lib.Symbol("isc_attach_database") != nullptr;
      // The database layer loads it again and keeps it; this copy never
      // unloads it underneath.
      lib.KeepLoaded();
      break;
    }
    Add(JudgeClientLibrary(probe, names, platform::ProcessArchitecture()));
  }

  void CheckDatabase() {
    const DatabaseLocation where = ReadDatabaseLocation(dir_);
    const std::string name = where.servidor + ":" + where.caminho;
    SiteDatabase db(env_);
    ConfigureSiteConnection(db, dir_);
    try {
      db.Connvelstrand.Connect();
    } catch (const platform::Error& e) {
      for (CheckResult& r : JudgeDatabaseFailure(name, e.what(), cnpj_)) Add(std::move(r));
      return;
    }
    Add(CheckStatus::kOk, "Banco de dados", name);

    std::string cgc;
    try {
      db.TBPadrao.Open();
      cgc = db.TBPadrao.FieldByName("CGC").AsString();
      db.TBPadrao.Close();
    } catch (const std::exception& e) {
      Add(CheckStatus::kFailure, "Função do site",
          "PADRAO não pôde ser lida: " + std::string(e.what()));
      return;
    }
    RoleVerdict verdict = JudgeRole(cgc, cnpj_, digits_);
    role_ = verdict.role;
    Add(std::move(verdict.result));
    if (role_ == SiteRole::kBranch) {
      CheckProductTriggers(db, settings_.somente_alterados, Sink());
    }
    try {
      db.Connvelstrand.Disconnect();
    } catch (const std::exception&) {
      // Only read: nothing is lost.
    }
  }

  void CheckFtp() {
    if (!server_ok_) return;
    const CheckTimes clock{[this] { return UtcNow(); },
                           [this](std::int64_t utc) { return Clock().LocalText(utc); }};
    CheckFtpSide(server_, dir_, digits_, clock, Sink());
  }

  void CheckSigningKey() {
    const char* item = "Chave de assinatura";
    const std::string path = KeyFilePath(dir_);
    if (platform::NothingAt(path)) return;
    try {
      const exchange::PrivateKey key = exchange::LoadKeyFile(path);
      Add(CheckStatus::kOk, item,
          std::string(kKeyFileName) + " (id " + exchange::KeyId(key.public_key()) + ")");
    } catch (const platform::ExposedFileError& e) {
      // The reason names the remedy; until then every publish stops.
      Add(CheckStatus::kFailure, item, e.what());
    } catch (const std::exception& e) {
      Add(CheckStatus::kFailure, item,
          std::string(e.what()) + ": restaure a cópia de " + kKeyFileName);
    }
  }

  // One request as the download makes it, stopped once the first bytes are
  // in. Keeps the exchange server's Date for the clock.
  WebProbe ProbeAddress(transfer::HttpClient& http, const std::string& address) {
    WebProbe probe;
    std::string head;
    try {
      http.Get(address, [&](std::string_view bytes) {
        head.append(bytes.substr(0, 4 - std::min<size_t>(4, head.size())));
        if (head.size() >= 4) throw EnoughBytes{};
      });
    } catch (const EnoughBytes&) {
    } catch (const platform::TlsError& e) {
      probe.error = e.what();
      probe.certificate_refused = e.failure() == platform::TlsFailure::kNotTrusted ||
                                  e.failure() == platform::TlsFailure::kNameMismatch ||
                                  e.failure() == platform::TlsFailure::kExpired;
    } catch (const std::exception& e) {
      probe.error = e.what();
    }
    probe.final_url = http.final_url();
    probe.tls = http.tls_peer_info();
    KeepServerDate(http);
    if (!probe.error.empty()) return probe;
    probe.answered = true;
    probe.zip = head.starts_with("PK\x03\x04");
    // Only shown: an unreadable length is left out.
    const std::string length_text = Header(http, "Content-Length");
    if (!length_text.empty() && length_text.size() <= 18 &&
        length_text.find_first_not_of("0123456789") == std::string::npos) {
      probe.length = std::stoll(length_text);
    }
    probe.last_modified = transfer::ParseHttpDate(Header(http, "Last-Modified"));
    return probe;
  }

  void KeepServerDate(const transfer::HttpClient& http) {
    if (server_date_) return;
    if (auto date = transfer::ParseHttpDate(Header(http, "Date"))) {
      server_date_ = date;
      local_at_date_ = UtcNow();
    }
  }

  void CheckDownloads() {
    if (!server_ok_) return;
    transfer::HttpClient http;
    transfer::ConfigureDownloadClient(http, server_);
    const std::array<std::string, 3> addresses =
        transfer::DownloadAddresses(transfer::DownloadSource(server_, digits_));
    std::array<WebProbe, 3> probes;
    for (size_t i = 0; i < addresses.size(); ++i) probes[i] = ProbeAddress(http, addresses[i]);
    for (CheckResult& r : JudgeDownloads(addresses, probes, Clock())) Add(std::move(r));
  }

  void CheckProgramFolder() {
    FolderProbe probe;
    const std::string file = dir_ + CheckProbeName();
    try {
      platform::WriteFileAtomically(file, "quilvane -CHECK\r\n");
      platform::DeleteFile(file);
      folder_writable_ = true;
    } catch (const std::exception& e) {
      probe.write_error = e.what();
    }
    if (folder_writable_) {
      try {
        probe.free_bytes = platform::FreeDiskSpace(dir_);
      } catch (const std::exception& e) {
        probe.space_error = e.what();
      }
    }
    Add(JudgeProgramFolder(dir_, probe, options_, env_.Regional().decimal_separator));
  }

  void CheckLog() {
    const std::string path = LogPath(dir_);
    LogProbe probe;
    probe.exists = platform::FileExists(path) || platform::DirectoryExists(path);
    if (probe.exists) {
      try {
        // Opened for append and closed: nothing is written to it.
        platform::File(path, platform::File::Mode::kAppend).Close();
      } catch (const std::exception& e) {
        probe.open_error = e.what();
      }
    }
    Add(JudgeLog(path, probe, folder_writable_));
  }

  void CheckClock() {
    if (!server_date_ && server_ok_ && !digits_.empty()) {
      // No answer from the web side yet (a head office): one request for its
      // Date, the branches' download address.
      transfer::HttpClient http;
      transfer::ConfigureDownloadClient(http, server_);
      ProbeAddress(http, transfer::DownloadSource(server_, digits_));
    }
    Add(JudgeClock(server_date_, local_at_date_, options_.clock_tolerance));
  }

  std::string dir_;
  platform::Env& env_;
  const SiteCheckOptions& options_;
  std::vector<CheckResult> results_;

  Settings settings_;
  std::string cnpj_;
  std::string digits_;
  transfer::ExchangeServer server_;
  bool server_ok_ = false;
  SiteRole role_ = SiteRole::kUnknown;
  bool folder_writable_ = false;
  std::optional<std::int64_t> server_date_;
  std::int64_t local_at_date_ = 0;
};

}  // namespace

const char* CheckStatusText(CheckStatus status) {
  switch (status) {
    case CheckStatus::kOk:
      return "OK";
    case CheckStatus::kWarning:
      return "AVISO";
    case CheckStatus::kFailure:
      return "FALHA";
  }
  return "FALHA";
}

std::vector<CheckResult> CheckSite(const std::string& dir, platform::Env& env,
                                   const SiteCheckOptions& options) {
  return SiteChecker(dir, env, options).Run();
}

bool SiteReady(const std::vector<CheckResult>& results) {
  for (const CheckResult& r : results) {
    if (r.status == CheckStatus::kFailure) return false;
  }
  return true;
}

std::string CheckProbeName() { return "quilvane-check-" + platform::RandomTag() + ".tmp"; }

}  // namespace quilvane::sync
