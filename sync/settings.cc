#include "sync/settings.h"

#include <algorithm>

#include "platform/ini_file.h"
#include "platform/path.h"
#include "platform/regional.h"
#include "platform/safe_path.h"

namespace quilvane::sync {
namespace {
std::optional<platform::DateTime> ReadDate(const platform::IniSnapshot& ini, const char* name,
                                           platform::Env& env) {
  return ParseRecordedDay(ini.ReadString(kSettingsSection, name, ""), env);
}

platform::DateTime LookBackDay(platform::Env& env) {
  return static_cast<platform::DateTime>(platform::DayOf(env.Now()) - kLookBackDays);
}

}  // namespace

std::optional<platform::DateTime> ParseRecordedDay(std::string_view text,
                                                   const platform::FormatSettings& regional,
                                                   platform::DateTime now) {
  if (text.empty()) return std::nullopt;
  return platform::ParseShortDate(text, regional, platform::DecodeDate(now).year);
}

std::optional<platform::DateTime> ParseRecordedDay(std::string_view text, platform::Env& env) {
  return ParseRecordedDay(text, env.Regional(), env.Now());
}

std::optional<platform::DateTime> RecordedDay(const std::string& path, platform::Env& env) {
  return ReadDate(platform::IniSnapshot(path), key::kDataUltimaSincronizacao, env);
}

Settings ReadSettings(const std::string& path, platform::Env& env) {
  Settings s;
  // As root, settings another user can swap are not settings: they could
  // drop ChavePublica, and the day's write would go through their link.
  try {
    if (auto why = platform::UntrustedLinkAsRoot(path)) s.unreadable = *why;
  } catch (const platform::Error& e) {
    s.unreadable = e.what();
  }
  if (!s.unreadable.empty()) {
    s.data_ultima_sincronizacao = LookBackDay(env);
    return s;
  }
  const platform::IniSnapshot ini(path);
  s.cnpj_servidor = ini.ReadString(kSettingsSection, key::kCnpjServidor, "");
  s.data_ultima_sincronizacao =
      ReadDate(ini, key::kDataUltimaSincronizacao, env).value_or(LookBackDay(env));
  s.sincronizar_preco_farmacia_popular =
      ini.ReadBool(kSettingsSection, key::kSincronizarPrecoFarmaciaPopular, false);
  s.servidor_ftp = ini.ReadString(kSettingsSection, key::kServidorFtp, "");
  s.usuario_ftp = ini.ReadString(kSettingsSection, key::kUsuarioFtp, "");
  s.senha_ftp = ini.ReadString(kSettingsSection, key::kSenhaFtp, "");
  s.dominio_web = ini.ReadString(kSettingsSection, key::kDominioWeb, "");
  const std::string ca = ini.ReadString(kSettingsSection, key::kCertificadoCa, "");
  if (!ca.empty()) s.certificado_ca = platform::PathBeside(platform::FolderOf(path), ca);
  s.chave_publica = ini.ReadString(kSettingsSection, key::kChavePublica, "");
  s.enviar_recibo = ini.ReadBool(kSettingsSection, key::kEnviarRecibo, false);
  s.publicar_status = ini.ReadBool(kSettingsSection, key::kPublicarStatus, false);
  s.nome_filial = ini.ReadString(kSettingsSection, key::kNomeFilial, "");
  s.data_ultimo_arquivo = ReadDate(ini, key::kDataUltimoArquivo, env);
  const std::string mb = ini.ReadString(kSettingsSection, key::kTamanhoMaximoMb, "");
  std::int32_t value = 0;
  if (!mb.empty()) {
    if (platform::ParseIniInteger(mb, value) && value >= 1 && value <= kMaxDownloadMb) {
      s.tamanho_maximo_mb = value;
    } else {
      s.tamanho_maximo_invalido = mb;
    }
  }
  s.somente_alterados = ini.ReadBool(kSettingsSection, key::kSomenteAlterados, false);
  s.unreadable = ini.error();
  return s;
}

transfer::ExchangeServer ExchangeServerOf(const Settings& settings) {
  transfer::ExchangeServer server = transfer::MakeExchangeServer(
      settings.servidor_ftp, settings.usuario_ftp, settings.dominio_web);
  transfer::SetFtpPassword(server, settings.senha_ftp);
  server.tls.ca_file = settings.certificado_ca;
  return server;
}

bool DiscardFutureLastSync(Settings& settings, platform::Env& env) {
  if (platform::DayOf(settings.data_ultima_sincronizacao) <= platform::DayOf(env.Now())) {
    return false;
  }
  settings.data_ultima_sincronizacao = LookBackDay(env);
  return true;
}

platform::DateTime ImportedDayToRecord(platform::DateTime file_day, platform::Env& env) {
  return static_cast<platform::DateTime>(
      std::min(platform::DayOf(file_day), platform::DayOf(env.Now())));
}

void WriteLastSync(const std::string& path, platform::DateTime day, platform::Env& env) {
  platform::IniFile(path).WriteString(kSettingsSection, key::kDataUltimaSincronizacao,
                                      platform::FormatShortDate(day, env.Regional()));
}

void WriteNewestFileDay(const std::string& path, platform::DateTime day, platform::Env& env) {
  platform::IniFile(path).WriteString(kSettingsSection, key::kDataUltimoArquivo,
                                      platform::FormatShortDate(day, env.Regional()));
}

}  // namespace quilvane::sync
