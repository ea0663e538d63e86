#include "sync/site_database.h"

#include "exchange/changes_list.h"
#include "exchange/export.h"
#include "exchange/format.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/path.h"
#include "platform/temporary_file.h"
#include "sync/settings.h"

namespace quilvane::sync {

const char kSqlPadrao[] =
    "SELECT CODIGO\n"
    "     , CGC\n"
    "FROM PADRAO";

const std::string& SqlProdutos() {
  static const std::string sql = [] {
    std::string text = "SELECT P.CODIGO";
    for (const exchange::StatementPart& part : exchange::kStatementParts) {
      if (part.column == "CODIGO") continue;
      text += "\n     , P.";
      text += part.column;
    }
    return text + "\nFROM PRODUTOS P";
  }();
  return sql;
}

SiteDatabase::SiteDatabase(platform::Env& env)
    : Connvelstrand(env),
      TransReadOnly(Connvelstrand, db::Transaction::Access::kReadOnly,
                    db::Transaction::Mode::kAutomatic),
      TransReadWrite(Connvelstrand, db::Transaction::Access::kReadWrite,
                     db::Transaction::Mode::kExplicit),
      TRQExec(Connvelstrand, db::Transaction::Access::kReadWrite, db::Transaction::Mode::kExplicit),
      TBPadrao(Connvelstrand, TransReadOnly),
      TBProdutos(Connvelstrand, TransReadOnly),
      QExec(Connvelstrand, TRQExec) {
  Connvelstrand.SetParam("Protocol", "TCPIP");
  Connvelstrand.SetParam("CharacterSet", "ISO8859_1");
  TBPadrao.SetSQL(kSqlPadrao);
  TBProdutos.SetSQL(SqlProdutos());
}

SiteDatabase::~SiteDatabase() {
  try {
    Connvelstrand.Disconnect();
  } catch (...) {
    // Destructors report nothing; the attachment is released regardless.
  }
}

DatabaseLocation ReadDatabaseLocation(const std::string& dir) {
  const std::string folder = platform::WithTrailingSeparator(dir);
  const platform::IniFile ini(DatabaseSettingsPath(folder));
  return {ini.ReadString(kDatabaseSection, key::kServidor, "localhost"),
          ini.ReadString(kDatabaseSection, key::kCaminho, folder + kDefaultDatabaseName)};
}

void ConfigureSiteConnection(SiteDatabase& c, const std::string& dir) {
  const DatabaseLocation where = ReadDatabaseLocation(dir);
  c.Connvelstrand.Disconnect();
  c.Connvelstrand.SetParam("Port", "3050");
  c.Connvelstrand.SetParam("User_Name", "USUARIO");
  c.Connvelstrand.SetParam("Server", where.servidor);
  c.Connvelstrand.SetParam("Database", where.caminho);
  c.Connvelstrand.SetParam("Password", "mirvex");
}

bool ConectarBanco(SiteDatabase& c, const std::string& dir, platform::Logger& log) {
  ConfigureSiteConnection(c, dir);
  try {
    c.Connvelstrand.Connect();
    return true;
  } catch (const platform::Error& e) {
    log.DoSaveLog(std::string("Falha na conexão do banco de dados: ") + e.what());
    return false;
  }
}

void ExportPrices(SiteDatabase& c, const std::string& arquivo_script,
                  bool sincronizar_preco_farmacia_popular, platform::Env& env) {
  platform::TemporaryFile script(arquivo_script);  // a failed export leaves no file
  exchange::ExportPrices(c.TBProdutos, arquivo_script, sincronizar_preco_farmacia_popular, env);
  script.Keep();
}

exchange::ImportResult ImportPrices(SiteDatabase& c, const std::string& arquivo_script,
                                    platform::DateTime data_ultima,
                                    const std::string& settings_path, platform::Env& env,
                                    const exchange::ImportOptions& options) {
  const exchange::ImportResult r = exchange::ImportPrices(
      c.Connvelstrand, c.QExec, c.TRQExec, arquivo_script, data_ultima, env, options);
  if (r.applied && !options.dry_run) {
    WriteLastSync(settings_path, ImportedDayToRecord(r.day, env), env);
  }
  return r;
}

namespace {

template <typename Changes>
void SaveList(const std::string& dir, platform::DateTime day, const Changes& changes,
              platform::Logger& log, platform::Env& env) {
  const auto logged = [&log](std::string_view what, const std::exception& e) {
    try {
      log.DoSaveLog(std::string(what) + e.what());
    } catch (const std::exception&) {
      // The day's outcome stands even without its log line.
    }
  };
  try {
    exchange::WriteChangesList(ChangesFolderPath(dir), day, changes);
  } catch (const std::exception& e) {
    logged("Falha ao gravar a lista de alterações: ", e);
  }
  try {
    exchange::RemoveOldChangesLists(ChangesFolderPath(dir), env.Now());
  } catch (const std::exception& e) {
    logged("Falha ao apagar listas de alterações antigas: ", e);
  }
}

}  // namespace

void SaveChangesList(const std::string& dir, platform::DateTime day,
                     const exchange::ChangeRange& changes, platform::Logger& log,
                     platform::Env& env) {
  SaveList(dir, day, changes, log, env);
}

void SaveChangesList(const std::string& dir, platform::DateTime day,
                     std::span<const exchange::Change> changes, platform::Logger& log,
                     platform::Env& env) {
  SaveList(dir, day, changes, log, env);
}

}  // namespace quilvane::sync
