#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/datetime.h"
#include "platform/env.h"
#include "sync/site_files.h"
#include "transfer/exchange_server.h"

namespace quilvane::sync {

// What one cycle reads from "Quilvane.ini", section "Quilvane". The file is
// opened for each read and write and closed at once; nothing is cached.
struct Settings {
  std::string cnpj_servidor;                         // `CNPJServidor`
  platform::DateTime data_ultima_sincronizacao = 0;  // `DataUltimaSincronizacao`
  bool sincronizar_preco_farmacia_popular = false;   // `SincronizarPrecoFarmaciaPopular`
  // The exchange server; empty means the built-in address.
  std::string servidor_ftp;  // `ServidorFTP`: host[:port]
  std::string usuario_ftp;   // `UsuarioFTP`
  // `SenhaFTP`: the account's own password; empty means the built-in one.
  std::string senha_ftp;
  std::string dominio_web;  // `DominioWeb`: [http:// | https://]domain[:port]
  // `CertificadoCA`: PEM certificates trusted for TLS besides the system's
  // store, its path made absolute against the settings file's folder (the
  // program's); empty: the system's store alone.
  std::string certificado_ca;
  // `ChavePublica`: the head office's public keys a branch trusts, as
  // written (exchange::ParsePublicKeys reads it). Blank: signatures are
  // ignored; a value that does not parse refuses every file.
  std::string chave_publica;
  // The fleet view, both off unless set to 1: a branch stores its receipt
  // after each cycle; the head office's service refreshes the status page.
  bool enviar_recibo = false;    // `EnviarRecibo`
  bool publicar_status = false;  // `PublicarStatus`
  // `NomeFilial`: the branch's name as people at the head office know it,
  // carried in its receipt to the status page; empty: the CNPJ alone.
  std::string nome_filial;
  // `TamanhoMaximoMB`: the most a download, and the exchange file unpacked
  // from it, may take on disk. A value that is no whole number from 1 to
  // kMaxDownloadMb yields the default, and `tamanho_maximo_invalido` keeps
  // the text for the log.
  int tamanho_maximo_mb = 512;
  // `DataUltimoArquivo`, kept only where ChavePublica is set: the day of the
  // newest signed file applied, never clamped to today. A signed file older
  // than it is refused, one of that day is nothing new. nullopt: none yet.
  std::optional<platform::DateTime> data_ultimo_arquivo;
  std::string tamanho_maximo_invalido;
  // A branch skips the statements whose product already holds the prices.
  bool somente_alterados = false;  // `SomenteAlterados`
  // Why the file exists but could not be read or decoded (every key then
  // has its default); empty otherwise.
  std::string unreadable;
};

inline constexpr int kDefaultDownloadMb = 512;
inline constexpr int kMaxDownloadMb = 4095;  // a member's size has 32 bits

// Reads the keys with their defaults, opening the file once: a missing file,
// section or key, or a badly written value, yields the default (the date:
// today minus kLookBackDays).
Settings ReadSettings(const std::string& path, platform::Env& env);

// A day as the service records it (DataUltimaSincronizacao,
// DataUltimoArquivo): the regional short date format, a two-digit year read
// against the current one. nullopt for empty or unreadable text.
std::optional<platform::DateTime> ParseRecordedDay(std::string_view text,
                                                   const platform::FormatSettings& regional,
                                                   platform::DateTime now);
std::optional<platform::DateTime> ParseRecordedDay(std::string_view text, platform::Env& env);

// The day of the last synchronisation recorded in the settings file at
// `path`, as the next cycle reads it; nullopt when none or unreadable.
std::optional<platform::DateTime> RecordedDay(const std::string& path, platform::Env& env);

// The exchange server the settings name (ServidorFTP, UsuarioFTP, SenhaFTP,
// DominioWeb over the built-in values). Throws platform::Error naming the
// key of a malformed value.
transfer::ExchangeServer ExchangeServerOf(const Settings& settings);

// Days before today that a site which never synchronised looks back to.
inline constexpr int kLookBackDays = 90;

// A recorded day later than today (a clock that was wrong, a typo) must not
// shut the site until that day comes: it is replaced by today minus
// kLookBackDays. Returns whether it was replaced.
bool DiscardFutureLastSync(Settings& settings, platform::Env& env);

// The day an applied exchange file of day `file_day` brings the site to:
// the earlier of that day and today, so that a head office whose clock ran
// ahead does not shut the daily gate here until its date.
platform::DateTime ImportedDayToRecord(platform::DateTime file_day, platform::Env& env);

// Records the day of the last synchronisation in the regional short date
// format. Throws platform::Error "Unable to write to <path>".
void WriteLastSync(const std::string& path, platform::DateTime day, platform::Env& env);

// Records `DataUltimoArquivo`, the same way.
void WriteNewestFileDay(const std::string& path, platform::DateTime day, platform::Env& env);

}  // namespace quilvane::sync
