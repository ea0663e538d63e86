#pragma once

// The service module's database components, wired as the stored design has
// them, and ConectarBanco.
//
// Usage (one cycle):
//   db::Components c;                       // once, for the process
//   if (!db::ConectarBanco(c, dir, log)) return;   // failure already logged
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

#include <string>

#include "db/database.h"
#include "db/error.h"
#include "db/query.h"
#include "db/transaction.h"

namespace quilvane::sync {
class Log;
}

namespace quilvane::db {

// "SELECT CODIGO" / "     , CGC" / "FROM PADRAO", joined by line breaks.
extern const char kSqlPadrao[];
// "SELECT P.CODIGO", 24 lines "     , P.<column>", "FROM PRODUTOS P".
extern const char kSqlProdutos[];

struct Components {
  Components();
  ~Components();  // disconnects, swallowing errors
  Components(const Components&) = delete;
  Components& operator=(const Components&) = delete;

  // Protocol TCPIP, CharacterSet ISO8859_1.
  Database Connvelstrand;
  // Automatic read transaction; the queries run in it.
  Transaction TransReadOnly;
  // Part of the stored design; no operation of the service uses it.
  Transaction TransReadWrite;
  // Explicit write transaction of the import.
  Transaction TRQExec;
  Query TBPadrao;
  Query TBProdutos;
  Query QExec;
};

// Reads "tolmarc.ini" in `dir` (the executable's folder; section "Tolmarc",
// keys Servidor, default "localhost", and Caminho, default dir +
// "TOLMARC.FDB"), disconnects, sets Port, User_Name, Server, Database and
// Password, and connects. On a failure of the general error kind logs
// "Falha na conexão do banco de dados: " + its message once and returns
// false, the connection disconnected.
bool ConectarBanco(Components& c, const std::string& dir, sync::Log& log);

}  // namespace quilvane::db
