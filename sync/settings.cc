#include "sync/settings.h"

#include "platform/ini_file.h"
#include "platform/regional.h"

namespace quilvane::sync {
namespace {
constexpr char kSection[] = "Quilvane";
constexpr int kLookBackDays = 90;
}  // namespace

std::string SettingsPath(const std::string& dir) { return dir + "Quilvane.ini"; }

platform::DateTime ReadDate(const std::string& path, const char* section, const char* key,
                            platform::DateTime default_value, platform::Env& env) {
  const std::string text = platform::IniFile(path).ReadString(section, key, "");
  if (text.empty()) return default_value;
  const int current_year = platform::DecodeDate(env.Now()).year;
  return platform::ParseShortDate(text, env.Regional(), current_year).value_or(default_value);
}

Settings ReadSettings(const std::string& path, platform::Env& env) {
  const platform::IniFile ini(path);
  Settings s;
  s.cnpj_servidor = ini.ReadString(kSection, "CNPJServidor", "");
  const auto today = static_cast<platform::DateTime>(platform::DayOf(env.Now()));
  s.data_ultima_sincronizacao =
      ReadDate(path, kSection, "DataUltimaSincronizacao", today - kLookBackDays, env);
  s.sincronizar_preco_farmacia_popular =
      ini.ReadBool(kSection, "SincronizarPrecoFarmaciaPopular", false);
  s.servidor_ftp = ini.ReadString(kSection, "ServidorFTP", "");
  s.usuario_ftp = ini.ReadString(kSection, "UsuarioFTP", "");
  s.dominio_web = ini.ReadString(kSection, "DominioWeb", "");
  return s;
}

void WriteLastSync(const std::string& path, platform::DateTime day, platform::Env& env) {
  platform::IniFile(path).WriteString(kSection, "DataUltimaSincronizacao",
                                      platform::FormatShortDate(day, env.Regional()));
}

}  // namespace quilvane::sync
