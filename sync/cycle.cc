#include "sync/cycle.h"

#include <chrono>
#include <exception>

#include "archive/compactar.h"
#include "exchange/literal.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/instance_lock.h"
#include "platform/machine_name.h"
#include "platform/regional.h"
#include "sync/cycle_receipt.h"
#include "sync/fleet_ftp.h"
#include "sync/instance.h"
#include "sync/receipt_sender.h"
#include "sync/settings.h"

namespace quilvane::sync {
Cycle::Cycle(std::string dir, Operations& ops, Log& log, platform::Timer& timer, platform::Env& env)
    : dir_(std::move(dir)),
      ops_(ops),
      log_(log),
      timer_(timer),
      env_(env),
      lock_owner_(kServiceLockOwner) {}

bool Cycle::Timer1Timer() {
  timer_.set_enabled(false);
  timer_.set_interval(kInterval);
  std::optional<platform::InstanceLock> lock;
  try {
    lock = platform::InstanceLock::TryTake(LockFilePath(dir_), lock_owner_);
  } catch (...) {
    timer_.set_enabled(true);
    throw;
  }
  if (!lock) {
    // An operator's switch is at work: this tick waits for the next one,
    // with one line for the whole wait.
    timer_.set_enabled(true);
    if (!busy_logged_) {
      busy_logged_ = true;
      log_.DoSaveLog("Ciclo adiado: " + BusyText(platform::ReadLockHolder(LockFilePath(dir_))));
    }
    return false;
  }
  busy_logged_ = false;
  std::string arquivo_script;  // stays empty until the exchange file is named
  std::exception_ptr escaped;
  const platform::DateTime started = env_.Now();
  const auto clock_start = std::chrono::steady_clock::now();
  run_ = Run{};
  std::vector<std::string> lines;  // what this run logs, for its receipt
  log_.set_capture(&lines);
  try {
    Work(arquivo_script);
  } catch (...) {
    // Whatever was raised, the cleanup runs first; then it goes on.
    escaped = std::current_exception();
  }
  std::exception_ptr cleanup_error;
  try {
    CleanupSite(ops_, arquivo_script);
  } catch (...) {
    cleanup_error = std::current_exception();
  }
  log_.set_capture(nullptr);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - clock_start);
  Fleet(started, elapsed.count(), std::move(lines), escaped ? escaped : cleanup_error);
  timer_.set_enabled(true);
  if (escaped && cleanup_error) {
    // Only one error leaves the cycle; the cleanup's own still gets its line.
    try {
      std::rethrow_exception(cleanup_error);
    } catch (const std::exception& e) {
      try {
        log_.DoSaveLog(e.what());
      } catch (const std::exception&) {
      }
    } catch (...) {
    }
  }
  if (escaped) std::rethrow_exception(escaped);
  if (cleanup_error) std::rethrow_exception(cleanup_error);
  return true;
}

void Cycle::Work(std::string& arquivo_script) {
  const std::string settings_path = SettingsPath(dir_);
  Settings settings = ReadSettings(settings_path, env_);
  ops_.Configure(settings);
  run_.settings = settings;
  // Defaults in place of settings that exist would mean no head office and
  // no trusted keys: the operator is told, and nothing runs.
  if (!settings.unreadable.empty()) {
    log_.DoSaveLog("Unable to read " + settings_path + ": " + settings.unreadable);
    return;
  }
  if (settings.cnpj_servidor.empty()) return;

  const platform::DateTime recorded = settings.data_ultima_sincronizacao;
  if (DiscardFutureLastSync(settings, env_)) {
    log_.DoSaveLog("Data da última sincronização no futuro ignorada: " +
                   platform::FormatShortDate(recorded, env_.Regional()));
  }
  if (platform::DayOf(settings.data_ultima_sincronizacao) >= platform::DayOf(env_.Now())) return;

  run_.past_gate = true;
  if (!settings.tamanho_maximo_invalido.empty()) {
    log_.DoSaveLog("TamanhoMaximoMB inválido ignorado: \"" + settings.tamanho_maximo_invalido +
                   "\" (usando " + std::to_string(settings.tamanho_maximo_mb) + " MB)");
  }
  if (!ops_.ConectarBanco()) return;
  const std::string cgc = ops_.PadraoCgc();
  const std::string digits = exchange::ExtraiNumero(settings.cnpj_servidor);
  arquivo_script = ExchangeFilePath(dir_, settings.cnpj_servidor);

  if (cgc == settings.cnpj_servidor) {
    ops_.ExportPrices(arquivo_script, settings.sincronizar_preco_farmacia_popular);
    if (!ops_.CompactarArquivo(arquivo_script)) return;
    if (!ops_.Upload(archive::ArchivePathFor(arquivo_script))) return;
    WriteLastSync(settings_path, static_cast<platform::DateTime>(platform::DayOf(env_.Now())),
                  env_);
    return;
  }

  run_.branch = true;
  run_.cgc = cgc;
  const std::string dest = ArchiveName(settings.cnpj_servidor);
  const std::string source = ops_.DownloadSource(digits);
  bool sucesso = false;
  try {
    sucesso = ops_.DownloadFile(source, dest, true);
  } catch (const std::exception& e) {
    log_.DoSaveLog(std::string("Falha ao realizar o download do arquivo: ") + e.what());
    sucesso = false;
  }
  if (!sucesso) {
    log_.DoSaveLog("Não baixou o arquivo!!!");
    return;
  }
  exchange::ImportOptions options;
  options.only_changed = settings.somente_alterados;
  const exchange::ImportResult r =
      ops_.ImportPrices(arquivo_script, settings.data_ultima_sincronizacao, options);
  run_.import = r;
  if (r.unmatched.count > 0) log_.DoSaveLog(UnmatchedCodesLine(r.unmatched));
  if (r.no_code > 0) log_.DoSaveLog(NoCodeLine(r.no_code));
}

void Cycle::Fleet(platform::DateTime started, std::int64_t duration_ms,
                  std::vector<std::string> lines, const std::exception_ptr& escaped) {
  if (!run_.settings) return;
  try {
    if (run_.settings->enviar_recibo) {
      const StoreReceiptFn store = [&](const std::string& local, const std::string& name) {
        ops_.StoreReceipt(local, name);
      };
      if (run_.branch) {
        last_cgc_ = run_.cgc;
      } else if (run_.past_gate && !last_cgc_.empty() &&
                 last_cgc_ != run_.settings->cnpj_servidor) {
        // The database was out of reach: the branch is the one it was.
        run_.branch = true;
        run_.cgc = last_cgc_;
        run_.import.reset();
      }
      if (run_.branch) {
        CycleFacts facts;
        facts.cgc = run_.cgc;
        facts.name = run_.settings->nome_filial;
        facts.started = started;
        facts.utc_offset_minutes = UtcOffsetMinutes(env_);
        facts.duration_ms = duration_ms;
        // An error that left the cycle is logged after it by the module;
        // the receipt says it too.
        if (escaped) {
          try {
            std::rethrow_exception(escaped);
          } catch (const std::exception& e) {
            lines.push_back(platform::FormatLogStamp(env_.Now(), env_.Regional()) + " - " +
                            e.what());
          } catch (...) {
          }
        } else {
          facts.import = run_.import;
        }
        facts.log_lines = std::move(lines);
        facts.recorded_day = RecordedDay(SettingsPath(dir_), env_);
        const std::string name = ReceiptFileName(facts.cgc, platform::MachineName());
        SendReceipt(dir_, name, WriteReceipt(MakeCycleReceipt(facts)), store, log_);
      } else {
        // A receipt the server did not take is stored at the next tick,
        // also once the day is done.
        SendPendingReceipt(dir_, store, log_);
      }
    }
    if (run_.settings->publicar_status) PublishStatus();
  } catch (const std::exception&) {
    // Only the log could fail here; the day's outcome stands.
  }
}

void Cycle::PublishStatus() {
  try {
    ops_.PublishStatus();
    status_failure_logged_ = false;
  } catch (const std::exception& e) {
    // Logged once until it works again, not at every tick.
    if (status_failure_logged_) return;
    status_failure_logged_ = true;
    log_.DoSaveLog(std::string("Falha ao publicar a página de situação: ") + e.what());
  }
}

std::string UnmatchedCodesLine(const exchange::UnmatchedCodes& unmatched) {
  constexpr std::size_t kShown = 20;
  std::string line =
      std::to_string(unmatched.count) + " produto(s) da matriz não encontrado(s) nesta filial: ";
  for (std::size_t i = 0; i < unmatched.codes.size() && i < kShown; ++i) {
    if (i > 0) line += ", ";
    line += unmatched.codes[i];
  }
  if (unmatched.count > static_cast<int>(kShown)) line += ", …";
  return line;
}

std::string NoCodeLine(int count) {
  return std::to_string(count) + " produto(s) da matriz sem código no arquivo";
}

void CleanupSite(Operations& ops, const std::string& arquivo_script) {
  std::exception_ptr first;
  auto step = [&](auto&& fn) {
    try {
      fn();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  };
  if (!arquivo_script.empty()) {
    step([&] { platform::DeleteFile(arquivo_script); });
    step([&] { platform::DeleteFile(archive::ArchivePathFor(arquivo_script)); });
  }
  step([&] { ops.CloseQueries(); });
  step([&] { ops.Disconnect(); });
  if (first) std::rethrow_exception(first);
}

}  // namespace quilvane::sync
