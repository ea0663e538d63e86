#include "db/components.h"

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

}  // namespace quilvane::db
