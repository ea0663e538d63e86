#pragma once

// The connection, transactions and queries of a site, wired the way the
// service wires them, for the tests of the database and exchange layers:
// they run on what a site runs without linking the service. The service's
// tests check that its own wiring gives these very texts and modes.

#include "db/database.h"
#include "db/query.h"
#include "db/transaction.h"
#include "platform/env.h"

namespace quilvane::testing {

inline constexpr char kSiteSqlPadrao[] =
    "SELECT CODIGO\n"
    "     , CGC\n"
    "FROM PADRAO";

// CODIGO, then every column of the exchange file in its order.
inline constexpr char kSiteSqlProdutos[] =
    "SELECT P.CODIGO\n"
    "     , P.PRECOCUSTO\n"
    "     , P.LUCRO\n"
    "     , P.PRECOFARMACIAPOPULAR\n"
    "     , P.PRECOVENDA\n"
    "     , P.TIPOPROMOCAO\n"
    "     , P.INICIOPROM\n"
    "     , P.FINALPROM\n"
    "     , P.DESCPROMVISTA\n"
    "     , P.DESCPROMPRAZO\n"
    "     , P.PRECOPROMVISTA\n"
    "     , P.PRECOPROMPRAZO\n"
    "     , P.PROMQTDMINIMAVISTA\n"
    "     , P.PROMQTDMINIMAPRAZO\n"
    "     , P.PROMPAGUEVISTA\n"
    "     , P.PROMLEVEVISTA\n"
    "     , P.PROMPAGUEPRAZO\n"
    "     , P.PROMLEVEPRAZO\n"
    "     , P.PROMKITQTDVISTA\n"
    "     , P.PROMKITVALORVISTA\n"
    "     , P.PROMKITQTDPRAZO\n"
    "     , P.PROMKITVALORPRAZO\n"
    "     , P.PROMSOMENTEFEBRAFAR\n"
    "     , P.PROMDESCRESIDUALVISTA\n"
    "     , P.PROMDESCRESIDUALPRAZO\n"
    "FROM PRODUTOS P";

// Not connected; the caller sets the endpoint (Server, Port, Database,
// User_Name, Password) and connects.
struct SiteComponents {
  explicit SiteComponents(platform::Env& env)
      : Connvelstrand(env),
        TransReadOnly(Connvelstrand, db::Transaction::Access::kReadOnly,
                      db::Transaction::Mode::kAutomatic),
        TRQExec(Connvelstrand, db::Transaction::Access::kReadWrite,
                db::Transaction::Mode::kExplicit),
        TBPadrao(Connvelstrand, TransReadOnly),
        TBProdutos(Connvelstrand, TransReadOnly),
        QExec(Connvelstrand, TRQExec) {
    Connvelstrand.SetParam("Protocol", "TCPIP");
    Connvelstrand.SetParam("CharacterSet", "ISO8859_1");
    TBPadrao.SetSQL(kSiteSqlPadrao);
    TBProdutos.SetSQL(kSiteSqlProdutos);
  }
  ~SiteComponents() {
    try {
      Connvelstrand.Disconnect();
    } catch (...) {
      // A test that lost its connection has already asserted what it wanted.
    }
  }
  SiteComponents(const SiteComponents&) = delete;
  SiteComponents& operator=(const SiteComponents&) = delete;

  db::Database Connvelstrand;
  db::Transaction TransReadOnly;  // the reads run in it
  db::Transaction TRQExec;        // the import's explicit write transaction
  db::Query TBPadrao;
  db::Query TBProdutos;
  db::Query QExec;
};

}  // namespace quilvane::testing
