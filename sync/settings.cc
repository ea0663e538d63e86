#include "sync/settings.h"

#include <algorithm>

#include "exchange/literal.h"
#include "platform/ini_file.h"
#include "platform/path.h"
#include "platform/regional.h"
#include "platform/safe_path.h"

namespace quilvane::sync {
namespace {
constexpr char kSection[] = "Quilvane";

// A date key in the regional short date format; nullopt for empty or
// unreadable text.
std::optional<platform::DateTime> ReadDate(const platform::IniSnapshot& ini, const char* key,
                                           platform::Env& env) {
  const std::string text = ini.ReadString(kSection, key, "");
  if (text.empty()) return std::nullopt;
  const int current_year = platform::DecodeDate(env.Now()).year;
  return platform::ParseShortDate(text, env.Regional(), current_year);
}

platform::DateTime LookBackDay(platform::Env& env) {
  return static_cast<platform::DateTime>(platform::DayOf(env.Now()) - kLookBackDays);
}

}  // namespace

std::string SettingsPath(const std::string& dir) { return dir + "Quilvane.ini"; }

std::string ExchangeFilePath(const std::string& dir, const std::string& cnpj_servidor) {
  return dir + exchange::ExtraiNumero(cnpj_servidor) + ".SQL";
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
  s.cnpj_servidor = ini.ReadString(kSection, "CNPJServidor", "");
  s.data_ultima_sincronizacao =
      ReadDate(ini, "DataUltimaSincronizacao", env).value_or(LookBackDay(env));
  s.sincronizar_preco_farmacia_popular =
      ini.ReadBool(kSection, "SincronizarPrecoFarmaciaPopular", false);
  s.servidor_ftp = ini.ReadString(kSection, "ServidorFTP", "");
  s.usuario_ftp = ini.ReadString(kSection, "UsuarioFTP", "");
  s.senha_ftp = ini.ReadString(kSection, "SenhaFTP", "");
  s.dominio_web = ini.ReadString(kSection, "DominioWeb", "");
  const std::string ca = ini.ReadString(kSection, "CertificadoCA", "");
  if (!ca.empty()) s.certificado_ca = platform::PathBeside(platform::FolderOf(path), ca);
  s.chave_publica = ini.ReadString(kSection, "ChavePublica", "");
  s.enviar_recibo = ini.ReadBool(kSection, "EnviarRecibo", false);
  s.publicar_status = ini.ReadBool(kSection, "PublicarStatus", false);
  s.nome_filial = ini.ReadString(kSection, "NomeFilial", "");
  s.data_ultimo_arquivo = ReadDate(ini, "DataUltimoArquivo", env);
  const std::string mb = ini.ReadString(kSection, "TamanhoMaximoMB", "");
  std::int32_t value = 0;
  if (!mb.empty()) {
    if (platform::ParseIniInteger(mb, value) && value >= 1 && value <= kMaxDownloadMb) {
      s.tamanho_maximo_mb = value;
    } else {
      s.tamanho_maximo_invalido = mb;
    }
  }
  s.somente_alterados = ini.ReadBool(kSection, "SomenteAlterados", false);
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
  platform::IniFile(path).WriteString(kSection, "DataUltimaSincronizacao",
                                      platform::FormatShortDate(day, env.Regional()));
}

void WriteNewestFileDay(const std::string& path, platform::DateTime day, platform::Env& env) {
  platform::IniFile(path).WriteString(kSection, "DataUltimoArquivo",
                                      platform::FormatShortDate(day, env.Regional()));
}

}  // namespace quilvane::sync
