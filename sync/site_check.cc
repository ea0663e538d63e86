#include "sync/site_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
#include "platform/regional.h"
#include "platform/text.h"
#include "sync/settings.h"
#include "sync/site_check_ftp.h"
#include "sync/site_check_triggers.h"
#include "sync/site_database.h"
#include "sync/site_files.h"
#include "transfer/download.h"
#include "transfer/exchange_server.h"
#include "platform/tls.h"
#include "transfer/http_client.h"

namespace quilvane::sync {
namespace {

// DateTime counts days from 30 December 1899; 1 January 1970 is day 25569.
constexpr double kUnixEpochDay = 25569;
constexpr double kSecondsPerDay = 86400;

// Messages of the lower layers may hold several lines (the database's);
// each result is one line.
std::string OneLine(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n')) ++i;
      if (i + 1 < text.size() && !out.empty()) out += "; ";
    } else {
      out += c;
    }
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == ';')) out.pop_back();
  return out;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// "12,3 GB" with the regional decimal separator.
std::string FormatBytes(std::uint64_t bytes, char decimal_separator) {
  static constexpr const char* kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char buf[64];
  if (unit == 0) {
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[unit]);
  std::string out = buf;
  for (char& c : out) {
    if (c == '.') c = decimal_separator;
  }
  return out;
}

// Thrown by a download probe's sink once the first bytes are in: the
// archive's presence and kind are known without fetching it whole.
struct EnoughBytes {};

struct WebProbe {
  bool answered = false;  // a 2xx response: the cycle stops at this address
  bool zip = false;       // and its body starts as an archive does
  std::int64_t length = -1;
  std::optional<std::int64_t> last_modified;
  std::string error;
  std::string final_url;  // what answered, after redirects
  std::optional<platform::TlsPeerInfo> tls;
  // The server's certificate was refused (not trusted, another name,
  // expired): a FALHA wherever the address stands.
  bool certificate_refused = false;
};

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
    if (role_ == Role::kHeadOffice) {
      CheckFtp();
      CheckSigningKey();
    } else if (role_ == Role::kBranch) {
      CheckDownloads();
    }
    CheckProgramFolder();
    CheckLog();
    CheckClock();
    return std::move(results_);
  }

 private:
  enum class Role { kUnknown, kHeadOffice, kBranch };

  void Add(CheckStatus status, std::string item, std::string detail) {
    results_.push_back({status, std::move(item), OneLine(std::move(detail))});
    if (options_.on_result) options_.on_result(results_.back());
  }
  void Ok(std::string item, std::string detail) {
    Add(CheckStatus::kOk, std::move(item), std::move(detail));
  }
  void Aviso(std::string item, std::string detail) {
    Add(CheckStatus::kAviso, std::move(item), std::move(detail));
  }
  void Falha(std::string item, std::string detail) {
    Add(CheckStatus::kFalha, std::move(item), std::move(detail));
  }
  CheckSink Sink() {
    return [this](CheckStatus status, std::string item, std::string detail) {
      Add(status, std::move(item), std::move(detail));
    };
  }

  std::int64_t UtcNow() const {
    if (options_.utc_now) return options_.utc_now();
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // A UTC time as the local clock shows it: "10/12/2026 14:15". The
  // local offset is Env's local time against the UTC clock, to the quarter
  // hour.
  std::string LocalText(std::int64_t utc_seconds) {
    const double utc_now_day = static_cast<double>(UtcNow()) / kSecondsPerDay + kUnixEpochDay;
    const double offset = std::round((env_.Now() - utc_now_day) * 96) / 96;
    const platform::DateTime local =
        static_cast<double>(utc_seconds) / kSecondsPerDay + kUnixEpochDay + offset;
    const platform::FormatSettings fs = env_.Regional();
    const platform::CivilTime t = platform::DecodeTime(local);
    char time[16];
    std::snprintf(time, sizeof time, " %02d%c%02d", t.hour, fs.time_separator, t.minute);
    return platform::FormatShortDate(local, fs) + time;
  }

  void CheckSettings() {
    const std::string path = SettingsPath(dir_);
    if (!platform::FileExists(path)) {
      Falha("Configuração", path + " não existe: crie-o com a seção [Quilvane] e " +
                                "CNPJServidor=<CNPJ da matriz>");
      return;
    }
    try {
      platform::File(path, platform::File::Mode::kRead).Close();
    } catch (const std::exception& e) {
      Falha("Configuração", std::string(e.what()) + ": dê ao serviço permissão de leitura");
      return;
    }
    const platform::IniSnapshot ini(path);
    settings_ = ReadSettings(path, env_);

    cnpj_ = settings_.cnpj_servidor;
    digits_ = exchange::ExtraiNumero(cnpj_);
    if (cnpj_.empty()) {
      Falha(key::kCnpjServidor,
            "vazio em " + path + ": o ciclo não faz nada; informe o CNPJ da matriz");
    } else if (digits_.size() != 14) {
      Aviso(key::kCnpjServidor, Quoted(cnpj_) + " não tem os 14 números de um CNPJ: confira");
    } else {
      Ok(key::kCnpjServidor, cnpj_);
    }

    try {
      server_ = ExchangeServerOf(settings_);
      server_ok_ = true;
      Ok("Servidor de troca", "FTP " + transfer::FtpAddress(server_) + " como " + server_.ftp_user +
                                  ", web " + transfer::WebBaseAddress(server_));
    } catch (const std::exception& e) {
      Falha("Servidor de troca", std::string(e.what()) + ": corrija em " + kSettingsFileName);
    }
    if (server_ok_ && !settings_.senha_ftp.empty()) CheckFtpPassword(path, server_, Sink());

    const std::string popular =
        ini.ReadString(kSettingsSection, key::kSincronizarPrecoFarmaciaPopular, "");
    if (!popular.empty()) {
      std::int32_t value = 0;
      if (platform::ParseIniInteger(popular, value)) {
        Ok(key::kSincronizarPrecoFarmaciaPopular, value != 0 ? "sim" : "não");
      } else {
        Aviso(key::kSincronizarPrecoFarmaciaPopular,
              Quoted(popular) + " não é um número: vale 0 (não); escreva 0 ou 1");
      }
    }

    const std::string keys = ini.ReadString(kSettingsSection, key::kChavePublica, "");
    if (!keys.empty()) {
      try {
        const size_t n = exchange::ParsePublicKeys(keys).size();
        Ok(key::kChavePublica, std::to_string(n) + (n == 1 ? " chave" : " chaves"));
      } catch (const std::exception& e) {
        Falha(key::kChavePublica, std::string(e.what()) + ": copie de novo a chave da matriz");
      }
    }

    CheckLastSync(ini);
  }

  void CheckLastSync(const platform::IniSnapshot& ini) {
    const char* item = "Última sincronização";
    const std::string text = ini.ReadString(kSettingsSection, key::kDataUltimaSincronizacao, "");
    const platform::DateTime now = env_.Now();
    const platform::FormatSettings fs = env_.Regional();
    if (text.empty()) {
      Ok(item, "nenhuma registrada: o próximo ciclo sincroniza");
      return;
    }
    const auto day = ParseRecordedDay(text, env_);
    if (!day) {
      Aviso(item, Quoted(text) + " não é uma data como " + platform::FormatShortDate(now, fs) +
                      ": o ciclo a trata como ausente; corrija ou apague DataUltimaSincronizacao");
    } else if (platform::DayOf(*day) > platform::DayOf(now)) {
      Aviso(item, text + " está no futuro: o ciclo a ignora; confira o relógio e apague " +
                      "DataUltimaSincronizacao");
    } else if (platform::DayOf(*day) == platform::DayOf(now)) {
      Ok(item, text + " (hoje): o próximo ciclo só trabalha amanhã");
    } else {
      Ok(item, text + ": o próximo ciclo sincroniza");
    }
  }

  void CheckClientLibrary() {
    const char* item = "Biblioteca do Firebird";
    const std::vector<std::string> names = db::FbClient::DefaultLibraryNames();
    std::string last_error;
    for (const std::string& name : names) {
      platform::LibraryLoadFailure failure;
      platform::DynamicLibrary lib = platform::DynamicLibrary::Load(name, &failure);
      if (!lib.loaded()) {
        last_error = failure.message;
        if (!failure.foreign_architecture.empty()) {
          last_error += " (" + failure.foreign_architecture + ")";
        }
        continue;
      }
      std::string file = lib.FilePath();
      if (file.empty()) file = name;
      // The database layer loads it again and keeps it; this copy never
      // unloads it underneath.
      const bool has_entry = lib.Symbol("isc_attach_database") != nullptr;
      lib.KeepLoaded();
      if (has_entry) {
        Ok(item, file);
      } else {
        Falha(item, file + " não é o cliente do Firebird: instale o cliente (fbclient)");
      }
      return;
    }
    Falha(item, "nenhuma de " + db::JoinLibraryNames(names) + " carregou (" + last_error +
                    "): instale o cliente do Firebird para " + platform::ProcessArchitecture());
  }

  // Keeps the failure ConectarBanco logs instead of writing the log.
  class KeptMessage final : public platform::Logger {
   public:
    void DoSaveLog(std::string_view message) override { text.assign(message); }
    std::string text;
  };

  void CheckDatabase() {
    const DatabaseLocation where = ReadDatabaseLocation(dir_);
    const std::string name = where.servidor + ":" + where.caminho;
    SiteDatabase db(env_);
    KeptMessage failure;
    if (!ConectarBanco(db, dir_, failure)) {
      std::string why = failure.text;
      constexpr std::string_view kPrefix = "Falha na conexão do banco de dados: ";
      if (why.starts_with(kPrefix)) why.erase(0, kPrefix.size());
      Falha("Banco de dados", name + ": " + OneLine(why) + "; confira Servidor e Caminho em " +
                                  kDatabaseSettingsName + " e o servidor Firebird");
      if (!cnpj_.empty()) {
        Aviso("Função do site",
              "não determinada sem o banco de dados: FTP e downloads não verificados");
      }
      return;
    }
    Ok("Banco de dados", name);

    std::string cgc;
    try {
      db.TBPadrao.Open();
      cgc = db.TBPadrao.FieldByName("CGC").AsString();
      db.TBPadrao.Close();
    } catch (const std::exception& e) {
      Falha("Função do site", "PADRAO não pôde ser lida: " + std::string(e.what()));
      return;
    }
    ReportRole(cgc);
    if (role_ == Role::kBranch) CheckProductTriggers(db, settings_.somente_alterados, Sink());
    try {
      db.Connvelstrand.Disconnect();
    } catch (const std::exception&) {
      // Only read: nothing is lost.
    }
  }

  void ReportRole(const std::string& cgc) {
    if (cnpj_.empty()) return;  // no role without CNPJServidor; reported above
    const std::string shown = cgc.empty() ? "vazio" : Quoted(cgc);
    if (cgc == cnpj_) {
      role_ = Role::kHeadOffice;
      Ok("Função do site", "matriz (PADRAO.CGC = CNPJServidor): exporta e envia os preços");
      return;
    }
    role_ = Role::kBranch;
    if (exchange::ExtraiNumero(cgc) == digits_) {
      Aviso("Função do site",
            "filial, mas PADRAO.CGC " + shown + " tem os números de CNPJServidor " + Quoted(cnpj_) +
                ": se este site é a matriz, escreva CNPJServidor como em " + "PADRAO.CGC");
      return;
    }
    Ok("Função do site", "filial (PADRAO.CGC " + shown + "): baixa e aplica os preços de " + cnpj_);
  }

  void CheckFtp() {
    if (!server_ok_) return;
    const CheckTimes clock{[this] { return UtcNow(); },
                           [this](std::int64_t utc) { return LocalText(utc); }};
    CheckFtpSide(server_, dir_, digits_, clock, Sink());
  }

  void CheckSigningKey() {
    const std::string path = KeyFilePath(dir_);
    if (platform::NothingAt(path)) return;
    try {
      const exchange::PrivateKey key = exchange::LoadKeyFile(path);
      Ok("Chave de assinatura",
         std::string(kKeyFileName) + " (id " + exchange::KeyId(key.public_key()) + ")");
    } catch (const platform::ExposedFileError& e) {
      // The reason names the remedy; until then every publish stops.
      Falha("Chave de assinatura", e.what());
    } catch (const std::exception& e) {
      Falha("Chave de assinatura", std::string(e.what()) + ": restaure a cópia de " + kKeyFileName);
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

  void PrepareDownloadClient(transfer::HttpClient& http) {
    transfer::ConfigureWebClient(http, server_);
    transfer::SetDownloadFields(http);
  }

  void CheckDownloads() {
    if (!server_ok_) return;
    transfer::HttpClient http;
    PrepareDownloadClient(http);
    const std::string source = transfer::DownloadSource(server_, digits_);
    const std::string addresses[] = {source, transfer::SecondAttemptAddress(source),
                                     transfer::ThirdAttemptAddress(source)};
    WebProbe probes[3];
    std::vector<AddressProbe> seen;
    for (int i = 0; i < 3; ++i) {
      probes[i] = ProbeAddress(http, addresses[i]);
      seen.push_back({probes[i].answered, probes[i].zip});
    }
    std::vector<CheckStatus> rating = RateDownloadAddresses(seen);
    int used = -1;
    for (int i = 0; i < 3 && used < 0; ++i) {
      if (probes[i].answered) used = i;
    }
    const std::string use = std::to_string(used + 1);
    for (int i = 0; i < 3; ++i) {
      const std::string item = "Download " + std::to_string(i + 1);
      const WebProbe& p = probes[i];
      // The address as the operator reads it, and where it led.
      std::string a = addresses[i];
      if (!p.final_url.empty() && p.final_url != a && p.answered) {
        a += " (redirecionado para " + p.final_url + ")";
      }
      std::string detail;
      if (p.answered && p.zip) {
        detail = a + ": arquivo";
        if (p.last_modified) detail += " de " + LocalText(*p.last_modified);
        if (p.length >= 0) {
          detail += ", " + FormatBytes(static_cast<std::uint64_t>(p.length),
                                       env_.Regional().decimal_separator);
        }
        if (i != used) detail += " (reserva)";
      } else if (p.certificate_refused) {
        rating[i] = CheckStatus::kFalha;
        detail = a + ": " + p.error +
                 "; o certificado do servidor deve ser renovado, ou confira DominioWeb e "
                 "CertificadoCA";
      } else {
        detail = p.answered ? a + ": responde, mas não com um arquivo ZIP" : a + ": " + p.error;
        if (rating[i] == CheckStatus::kOk) {
          detail += "; o ciclo não chega a ele: baixa do endereço " + use;
        } else if (rating[i] == CheckStatus::kAviso) {
          detail += "; o ciclo perde tempo aqui e passa ao endereço " + use;
        } else if (i == used) {
          detail += "; o ciclo baixaria isto e falharia ao descompactar: confira DominioWeb";
        } else {
          detail +=
              "; confira DominioWeb e se a matriz já enviou o arquivo (rode -CHECK na "
              "matriz)";
        }
      }
      if (p.tls) {
        detail += "; " + TlsText(*p.tls);
        const CheckStatus cert = RateCertificate(p.tls->not_after_unix, UtcNow());
        if (cert != CheckStatus::kOk && rating[i] != CheckStatus::kFalha) rating[i] = cert;
        if (cert == CheckStatus::kAviso) detail += ": renove o certificado antes do vencimento";
      }
      Add(rating[i], item, detail);
    }
  }

  // "TLSv1.3, certificado CN=www.d (emitido por CN=CA), vence em 10/12/2026 14:15".
  std::string TlsText(const platform::TlsPeerInfo& tls) {
    return tls.protocol + ", certificado " + tls.subject + " (emitido por " + tls.issuer +
           "), vence em " + LocalText(tls.not_after_unix);
  }

  void CheckProgramFolder() {
    const char* item = "Pasta do programa";
    const std::string probe = dir_ + CheckProbeName();
    try {
      platform::WriteFileAtomically(probe, "quilvane -CHECK\r\n");
      platform::DeleteFile(probe);
      folder_writable_ = true;
    } catch (const std::exception& e) {
      Falha(item, dir_ + ": não gravável (" + e.what() +
                      "); dê ao serviço permissão de escrita nessa pasta");
      return;
    }
    std::uint64_t free_bytes = 0;
    try {
      free_bytes = platform::FreeDiskSpace(dir_);
    } catch (const std::exception& e) {
      Aviso(item, dir_ + ": gravável, espaço livre desconhecido (" + e.what() + ")");
      return;
    }
    const std::string space =
        FormatBytes(free_bytes, env_.Regional().decimal_separator) + " livres";
    if (free_bytes < options_.min_free_bytes) {
      Falha(item, dir_ + ": só " + space + "; libere espaço para os arquivos do dia");
    } else if (free_bytes < options_.low_free_bytes) {
      Aviso(item, dir_ + ": " + space + "; pouco espaço, libere algum");
    } else {
      Ok(item, dir_ + ": gravável, " + space);
    }
  }

  void CheckLog() {
    const std::string path = LogPath(dir_);
    if (!platform::FileExists(path) && !platform::DirectoryExists(path)) {
      // Not made here to be deleted again: the running service may create
      // it meanwhile, and its first entries would go with it.
      if (folder_writable_) {
        Ok("Log", path + ": será criado");
      } else {
        Falha("Log", path + ": não existe e a pasta não é gravável");
      }
      return;
    }
    try {
      // Opened for append and closed: nothing is written to it.
      platform::File(path, platform::File::Mode::kAppend).Close();
    } catch (const std::exception& e) {
      Falha("Log", std::string(e.what()) + "; o serviço precisa gravar " + path);
      return;
    }
    Ok("Log", path + ": gravável");
  }

  void CheckClock() {
    const char* item = "Relógio";
    if (!server_date_ && server_ok_ && !digits_.empty()) {
      // No answer from the web side yet (a head office): one request for its
      // Date, the branches' download address.
      transfer::HttpClient http;
      PrepareDownloadClient(http);
      ProbeAddress(http, transfer::DownloadSource(server_, digits_));
    }
    if (!server_date_) {
      Aviso(item, "não verificado: o servidor de troca não respondeu com a hora");
      return;
    }
    const std::int64_t difference = *server_date_ - local_at_date_;
    const std::int64_t size = difference < 0 ? -difference : difference;
    const std::string amount =
        size < 120 ? std::to_string(size) + " s" : std::to_string(size / 60) + " min";
    if (size <= options_.clock_tolerance.count()) {
      Ok(item, "diferença de " + amount + " para o servidor de troca");
      return;
    }
    Aviso(item, std::string("este computador está ") + amount +
                    (difference < 0 ? " adiantado" : " atrasado") +
                    " em relação ao servidor de troca; acerte a data e a hora");
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
  Role role_ = Role::kUnknown;
  bool folder_writable_ = false;
  std::optional<std::int64_t> server_date_;
  std::int64_t local_at_date_ = 0;
};

}  // namespace

std::vector<CheckResult> CheckSite(const std::string& dir, platform::Env& env,
                                   const SiteCheckOptions& options) {
  return SiteChecker(dir, env, options).Run();
}

}  // namespace quilvane::sync
