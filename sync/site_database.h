#pragma once

// A site's database as the service uses it: the components, wired as the
// stored design has them, and ConectarBanco with the ERP's settings.
//
// Usage (one cycle):
//   sync::SiteDatabase c;                    // once, for the process
//   if (!sync::ConectarBanco(c, dir, log)) return;   // failure already logged
//   c.TBPadrao.Open();
//   std::string cgc = c.TBPadrao.FieldByName("CGC").AsString();  // "" when empty
//   // export:
//   c.TBProdutos.Open(); c.TBProdutos.FetchAll(); c.TBProdutos.First();
//   for (; !c.TBProdutos.Eof(); c.TBProdutos.Next()) {
//     c.TBProdutos.FieldByName("PRECOVENDA").AsCurrency(); ...
//   }
//   // import, per batch of statements:
//   if (!c.TRQExec.InTransaction()) c.TRQExec.StartTransaction();
//   c.QExec.ExecSQL(line);                  // any statement text, e.g. an
//                                           // EXECUTE BLOCK of several UPDATEs
//   c.TRQExec.Commit();
//   // cleanup:
//   c.TBPadrao.Close(); c.TBProdutos.Close();
//   c.Connvelstrand.Disconnect();           // commits an open TRQExec
//
// Errors are db::DbError (a platform::Error). Values: Field::AsString() is
// UTF-8, AsCurrency() ten-thousandths, AsDateTime() a platform::DateTime.
// Prepared statements with '?' markers: set a text once on a Query of your
// own (db::Query q(c.Connvelstrand, c.TRQExec); q.SetSQL(...)) and call
// q.ExecSQL(params) for each row; not for imported lines, which run as
// written.
//
// A lost connection is handled inside: reads and a batch's first statement
// are repeated on a new attachment; a commit, a fetch, or a statement after
// others in an uncommitted TRQExec fails with DbError instead (the server
// has discarded that work) and leaves the connection disconnected.

#include <span>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/error.h"
#include "db/query.h"
#include "db/transaction.h"
#include "exchange/import.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "platform/logger.h"

namespace quilvane::sync {

// "SELECT CODIGO" / "     , CGC" / "FROM PADRAO", joined by line breaks.
extern const char kSqlPadrao[];
// "SELECT P.CODIGO", a line "     , P.<column>" for every other column the
// exchange file carries (in its order), "FROM PRODUTOS P".
const std::string& SqlProdutos();

struct SiteDatabase {
  // `env` gives the queries their regional settings and clock.
  explicit SiteDatabase(platform::Env& env);
  ~SiteDatabase();  // disconnects, swallowing errors
  SiteDatabase(const SiteDatabase&) = delete;
  SiteDatabase& operator=(const SiteDatabase&) = delete;

  // Protocol TCPIP, CharacterSet ISO8859_1.
  db::Database Connvelstrand;
  // Automatic read transaction; the queries run in it.
  db::Transaction TransReadOnly;
  // Part of the stored design; no operation of the service uses it.
  db::Transaction TransReadWrite;
  // Explicit write transaction of the import.
  db::Transaction TRQExec;
  db::Query TBPadrao;
  db::Query TBProdutos;
  db::Query QExec;
};

// Where the site's database is, from "tolmarc.ini" in `dir` as ConectarBanco
// reads it.
struct DatabaseLocation {
  std::string servidor;
  std::string caminho;
};
DatabaseLocation ReadDatabaseLocation(const std::string& dir);

// Reads "tolmarc.ini" in `dir` (the executable's folder; section "Tolmarc",
// keys Servidor, default "localhost", and Caminho, default dir +
// "TOLMARC.FDB"), disconnects and sets Port, User_Name, Server, Database
// and Password: what Connvelstrand.Connect() then attaches to.
void ConfigureSiteConnection(SiteDatabase& c, const std::string& dir);

// ConfigureSiteConnection, then connects. On a failure of the general error
// kind logs "Falha na conexão do banco de dados: " + its message once and
// returns false, the connection disconnected.
bool ConectarBanco(SiteDatabase& c, const std::string& dir, platform::Logger& log);

// Writes the exchange file from `TBProdutos` (exchange::ExportPrices), or
// throws after deleting what was written: a shortened exchange file is
// never left behind. `TBProdutos` stays open.
void ExportPrices(SiteDatabase& c, const std::string& arquivo_script,
                  bool sincronizar_preco_farmacia_popular, platform::Env& env);

// Applies the exchange file with `QExec` in `TRQExec` when it is newer than
// `data_ultima` (exchange::ImportPrices) and, when applied, records its day
// in the settings file `settings_path` (ImportedDayToRecord). Throws what
// the import throws, and platform::Error "Unable to write to <path>" after
// the statements were committed. A dry run records nothing.
exchange::ImportResult ImportPrices(SiteDatabase& c, const std::string& arquivo_script,
                                    platform::DateTime data_ultima,
                                    const std::string& settings_path, platform::Env& env,
                                    const exchange::ImportOptions& options = {});

// Adds `changes` to the changes list of `day` in `dir` and removes the lists
// past their days (exchange/changes_list.h). A list that cannot be written
// is logged ("Falha ao gravar a lista de alterações: " + message) and never
// fails the day; never throws.
void SaveChangesList(const std::string& dir, platform::DateTime day,
                     const exchange::ChangeRange& changes, platform::Logger& log,
                     platform::Env& env);
void SaveChangesList(const std::string& dir, platform::DateTime day,
                     std::span<const exchange::Change> changes, platform::Logger& log,
                     platform::Env& env);

}  // namespace quilvane::sync
