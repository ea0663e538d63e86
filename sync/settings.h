#pragma once

#include <string>

#include "platform/datetime.h"
#include "platform/env.h"

namespace quilvane::sync {

// What one cycle reads from "Quilvane.ini", section "Quilvane". The file is
// opened for each read and write and closed at once; nothing is cached.
struct Settings {
  std::string cnpj_servidor;                       // `CNPJServidor`
  platform::DateTime data_ultima_sincronizacao = 0;  // `DataUltimaSincronizacao`
  bool sincronizar_preco_farmacia_popular = false;  // `SincronizarPrecoFarmaciaPopular`
  // The exchange server; empty means the built-in address.
  std::string servidor_ftp;  // `ServidorFTP`: host[:port]
  std::string usuario_ftp;   // `UsuarioFTP`
  std::string dominio_web;   // `DominioWeb`: domain[:port]
};

// "Quilvane.ini" in the site's folder `dir` (with its trailing separator).
std::string SettingsPath(const std::string& dir);

// Reads the keys with their defaults: a missing file, section or key, or a
// badly written value, yields the default (the date: today minus 90 days).
Settings ReadSettings(const std::string& path, platform::Env& env);

// Reads a date key in the regional short date format; empty or unreadable
// text yields `default_value`.
platform::DateTime ReadDate(const std::string& path, const char* section, const char* key,
                            platform::DateTime default_value, platform::Env& env);

// Records the day of the last synchronisation in the regional short date
// format. Throws platform::Error "Unable to write to <path>".
void WriteLastSync(const std::string& path, platform::DateTime day, platform::Env& env);

}  // namespace quilvane::sync
