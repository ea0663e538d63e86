#include "sync/site_operations.h"

#include <optional>

#include "platform/error_kinds.h"
#include "platform/path.h"
#include "platform/private_copy.h"
#include "sync/exchange_steps.h"
#include "sync/fleet_ftp.h"
#include "sync/fleet_status.h"
#include "sync/signed_exchange.h"
#include "sync/site_database.h"
#include "transfer/download.h"
#include "transfer/exchange_server.h"

namespace quilvane::sync {
namespace {

// The site's database, archive and exchange server. The database
// components and both network clients live as long as the module.
class SiteOperations final : public Operations {
 public:
  SiteOperations(std::string dir, platform::Logger& log, platform::Env& env)
      : dir_(std::move(dir)), log_(log), env_(env) {}

  void Configure(const Settings& settings) override {
    settings_ = settings;
    server_.reset();
    unpacked_.reset();
  }

  bool ConectarBanco() override { return sync::ConectarBanco(db_, dir_, log_); }

  std::string PadraoCgc() override {
    db_.TBPadrao.Open();
    return db_.TBPadrao.FieldByName("CGC").AsString();
  }

  void ExportPrices(const std::string& arquivo_script, bool popular) override {
    sync::ExportPrices(db_, arquivo_script, popular, env_);
  }

  bool CompactarArquivo(const std::string& arquivo_origem) override {
    return sync::CompactarArquivo(arquivo_origem, log_, env_, KeyFilePath(dir_));
  }

  bool Upload(const std::string& arquivo) override {
    return sync::Upload(IdFTP1, Server(), arquivo, log_);
  }

  std::string DownloadSource(const std::string& digits) override {
    return transfer::DownloadSource(Server(), digits);
  }

  bool DownloadFile(const std::string& source, const std::string& dest,
                    bool descompactar) override {
    // Only the exchange file comes out of a downloaded archive: nothing in
    // it may replace the settings or the program beside it.
    const std::string member = ExchangeFileName(settings_.cnpj_servidor);
    DownloadLimits limits;
    limits.max_bytes = MaxBytes();
    limits.min_free_bytes = kFreeMarginBytes;
    transfer::ConfigureWebClient(HTTP, Server());
    return sync::DownloadFile(
        HTTP, source, dest, descompactar, dir_,
        [&](const std::string& archive_path) { return UnpackExchangeFile(archive_path, member); },
        log_, limits);
  }

  bool UnpackExchangeFile(const std::string& arquivo, const std::string& member) override {
    unpacked_.reset();
    std::string comment;
    archive::UnpackOptions options;
    options.only_member = member;
    options.comment = &comment;
    options.max_member_bytes = MaxBytes();
    options.ceiling_text = std::to_string(settings_.tamanho_maximo_mb) + " MB (TamanhoMaximoMB)";
    options.free_margin_bytes = kFreeMarginBytes;
    if (!sync::DescompactarArquivo(arquivo, dir_, log_, options)) return false;
    unpacked_ = Unpacked{dir_ + member, member, std::move(comment)};
    return true;
  }

  exchange::ImportResult ImportPrices(const std::string& arquivo_script,
                                      platform::DateTime data_ultima,
                                      const exchange::ImportOptions& options) override {
    const std::vector<exchange::PublicKey> keys = TrustedKeys(settings_.chave_publica);
    exchange::ImportOptions listed = options;
    if (listed.only_changed && !listed.dry_run && !listed.on_committed_changes) {
      listed.on_committed_changes = [this](platform::DateTime day,
                                           std::span<const exchange::Change> changes) {
        SaveChangesList(dir_, day, changes, log_, env_);
      };
    }
    // A bare exchange file carries no signature: refused before anything.
    if (!keys.empty() && (!unpacked_ || unpacked_->path != arquivo_script)) {
      throw InvalidSignatureError(exchange::VerdictReason(exchange::Verdict::kNoSignature));
    }
    // Every check and the statements read one copy that no other writer
    // can reach: a file replaced at its path in between (a download of the
    // cycle, a second switch) is never what runs.
    const platform::PrivateCopy copy = CopyOf(arquivo_script);
    if (keys.empty()) {
      return sync::ImportPrices(db_, copy.path(), data_ultima, SettingsPath(dir_), env_, listed);
    }
    // The signature is hashed while the import checks every line, and must
    // hold before the first statement runs.
    SignatureCheck check(copy.path(), unpacked_->member, unpacked_->comment, keys);
    exchange::ImportOptions checked = listed;
    checked.before_first_statement = [&] {
      check.Require();
      if (options.before_first_statement) options.before_first_statement();
    };
    checked.check_day = [&](platform::DateTime file_day) {
      return FreshEnough(file_day, options.forced);
    };
    const exchange::ImportResult r =
        sync::ImportPrices(db_, copy.path(), data_ultima, SettingsPath(dir_), env_, checked);
    if (r.applied && !options.dry_run) {
      if (!settings_.data_ultimo_arquivo ||
          platform::DayOf(r.day) > platform::DayOf(*settings_.data_ultimo_arquivo)) {
        WriteNewestFileDay(SettingsPath(dir_), r.day, env_);
        settings_.data_ultimo_arquivo = r.day;
      }
      NoteStaleFile(r.day);
    }
    return r;
  }

  void StoreReceipt(const std::string& local_path, const std::string& name) override {
    StoreReceiptFile(IdFTP1, Server(), local_path, name);
  }

  void PublishStatus() override {
    RefreshStatusPage(IdFTP1, settings_, dir_, env_, log_, red_watch_);
  }

  void CloseQueries() override {
    db_.TBPadrao.Close();
    db_.TBProdutos.Close();
  }

  void Disconnect() override { db_.Connvelstrand.Disconnect(); }

 private:
  // Built once per configuration, at its first use: a malformed address
  // fails the step that needs the server, not the cycle's start.
  const transfer::ExchangeServer& Server() {
    if (!server_) server_ = ExchangeServerOf(settings_);
    return *server_;
  }

  // The private copy of the exchange file, in the site's folder. Every
  // import runs under the lock beside the program, so copies of the same
  // name found there were left by a process that was killed.
  platform::PrivateCopy CopyOf(const std::string& arquivo_script) const {
    platform::RemoveLeftoverPrivateCopies(dir_, platform::FileNameOf(arquivo_script));
    try {
      return platform::PrivateCopy(arquivo_script, dir_);
    } catch (const platform::SystemError& e) {
      if (platform::IsNotFound(e)) throw platform::Error("File not found");
      throw;
    }
  }

  // A signed file's day against the newest one applied and today: an older
  // file is a replay of public archives, one far ahead a head office clock
  // gone wrong that would otherwise be "newer" again every day until then.
  bool FreshEnough(platform::DateTime file_day, bool forced) {
    const std::int64_t day = platform::DayOf(file_day);
    if (day > platform::DayOf(env_.Now()) + 1) {
      throw InvalidSignatureError("arquivo com data futura");
    }
    if (!settings_.data_ultimo_arquivo) return true;
    const std::int64_t newest = platform::DayOf(*settings_.data_ultimo_arquivo);
    if (day == newest) {
      NoteStaleFile(file_day);
      return false;  // nothing new
    }
    if (day < newest) {
      if (!forced) throw InvalidSignatureError("arquivo mais antigo que o já aplicado");
      log_.DoSaveLog("Arquivo de " + platform::FormatShortDate(file_day, env_.Regional()) +
                     ", mais antigo que o já aplicado, importado com -FORCE");
    }
    return true;
  }

  // Once a day: the newest file the head office offers is two or more days
  // old (someone may be holding back today's).
  void NoteStaleFile(platform::DateTime file_day) {
    const std::int64_t today = platform::DayOf(env_.Now());
    const std::int64_t age = today - platform::DayOf(file_day);
    if (age < 2 || stale_logged_on_ == today) return;
    stale_logged_on_ = today;
    log_.DoSaveLog("Arquivo da matriz de " + platform::FormatShortDate(file_day, env_.Regional()) +
                   ": " + std::to_string(age) + " dias sem atualização");
  }

  std::uint64_t MaxBytes() const {
    return static_cast<std::uint64_t>(settings_.tamanho_maximo_mb) << 20;
  }
  // Room left on the disk after a download or an extraction, for the log,
  // the settings and the database's own files beside the program.
  static constexpr std::uint64_t kFreeMarginBytes = 16ull << 20;

  // The exchange file last unpacked, with its archive's comment.
  struct Unpacked {
    std::string path;
    std::string member;
    std::string comment;
  };

  std::string dir_;
  platform::Logger& log_;
  platform::Env& env_;
  Settings settings_;
  std::optional<transfer::ExchangeServer> server_;
  std::optional<Unpacked> unpacked_;
  std::int64_t stale_logged_on_ = 0;
  RedBranchWatch red_watch_{dir_, log_};
  SiteDatabase db_{env_};
  transfer::FtpClient IdFTP1;
  transfer::HttpClient HTTP;
};

}  // namespace

std::unique_ptr<Operations> MakeSiteOperations(const std::string& dir, platform::Logger& log,
                                               platform::Env& env) {
  return std::make_unique<SiteOperations>(dir, log, env);
}

}  // namespace quilvane::sync
