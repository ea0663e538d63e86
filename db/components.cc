#include "db/components.h"

#include "platform/file.h"
#include "platform/ini_file.h"
#include "sync/log.h"

namespace quilvane::db {

const char kSqlPadrao[] =
    "SELECT CODIGO\n"
    "     , CGC\n"
    "FROM PADRAO";

const char kSqlProdutos[] =
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

Components::Components()
    : TransReadOnly(Connvelstrand, Transaction::Access::kReadOnly, Transaction::Mode::kAutomatic),
      TransReadWrite(Connvelstrand, Transaction::Access::kReadWrite, Transaction::Mode::kExplicit),
      TRQExec(Connvelstrand, Transaction::Access::kReadWrite, Transaction::Mode::kExplicit),
      TBPadrao(Connvelstrand, TransReadOnly),
      TBProdutos(Connvelstrand, TransReadOnly),
      QExec(Connvelstrand, TRQExec) {
  Connvelstrand.SetParam("Protocol", "TCPIP");
  Connvelstrand.SetParam("CharacterSet", "ISO8859_1");
  TBPadrao.SetSQL(kSqlPadrao);
  TBProdutos.SetSQL(kSqlProdutos);
}

Components::~Components() {
  try {
    Connvelstrand.Disconnect();
  } catch (...) {
    // Destructors report nothing; the attachment is released regardless.
  }
}

bool ConectarBanco(Components& c, const std::string& dir, sync::Log& log) {
  std::string folder = dir;
  if (!folder.empty() && folder.back() != platform::PathSeparator()) folder += platform::PathSeparator();
  const platform::IniFile ini(folder + "tolmarc.ini");
  const std::string servidor = ini.ReadString("Tolmarc", "Servidor", "localhost");
  const std::string caminho = ini.ReadString("Tolmarc", "Caminho", folder + "TOLMARC.FDB");

  c.Connvelstrand.Disconnect();
  c.Connvelstrand.SetParam("Port", "3050");
  c.Connvelstrand.SetParam("User_Name", "USUARIO");
  c.Connvelstrand.SetParam("Server", servidor);
  c.Connvelstrand.SetParam("Database", caminho);
  c.Connvelstrand.SetParam("Password", "mirvex");
  try {
    c.Connvelstrand.Connect();
    return true;
  } catch (const platform::Error& e) {
    log.DoSaveLog(std::string("Falha na conexão do banco de dados: ") + e.what());
    return false;
  }
}

}  // namespace quilvane::db
