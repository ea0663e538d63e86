#include "tests/exchange/product_db.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "exchange/format.h"
#include "exchange/literal.h"

namespace quilvane::exchange::testing {
namespace {

std::string EnvVar(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

const char kProdutosDdl[] = R"(
CREATE TABLE PADRAO (CODIGO INTEGER, CGC VARCHAR(18));
CREATE TABLE PRODUTOS (
  CODIGO VARCHAR(20),
  DESCRICAO VARCHAR(60),
  PRECOCUSTO NUMERIC(15,2),
  LUCRO NUMERIC(15,4),
  PRECOFARMACIAPOPULAR NUMERIC(15,2),
  PRECOVENDA DOUBLE PRECISION,
  TIPOPROMOCAO CHAR(1),
  INICIOPROM DATE,
  FINALPROM TIMESTAMP,
  DESCPROMVISTA NUMERIC(9,2),
  DESCPROMPRAZO NUMERIC(9,2),
  PRECOPROMVISTA NUMERIC(15,2),
  PRECOPROMPRAZO NUMERIC(15,2),
  PROMQTDMINIMAVISTA NUMERIC(15,3),
  PROMQTDMINIMAPRAZO NUMERIC(15,3),
  PROMPAGUEVISTA INTEGER,
  PROMLEVEVISTA INTEGER,
  PROMPAGUEPRAZO NUMERIC(15,3),
  PROMLEVEPRAZO NUMERIC(15,3),
  PROMKITQTDVISTA NUMERIC(15,3),
  PROMKITVALORVISTA NUMERIC(15,2),
  PROMKITQTDPRAZO NUMERIC(15,3),
  PROMKITVALORPRAZO NUMERIC(15,2),
  PROMSOMENTEFEBRAFAR VARCHAR(1),
  PROMDESCRESIDUALVISTA NUMERIC(15,2),
  PROMDESCRESIDUALPRAZO NUMERIC(15,2));
CREATE INDEX PRODUTOS_CODIGO ON PRODUTOS (CODIGO);
)";

ProductDb::ProductDb() {
  host_ = EnvVar("QUILVANE_FB_HOST");
  port_ = EnvVar("QUILVANE_FB_PORT");
  password_ = EnvVar("QUILVANE_FB_SYSDBA_PASSWORD");
  const std::string dir = EnvVar("QUILVANE_FB_DIR");
  if (host_.empty() || port_.empty() || password_.empty() || dir.empty()) {
    ADD_FAILURE() << "QUILVANE_FB_HOST, QUILVANE_FB_PORT, QUILVANE_FB_DIR and "
                     "QUILVANE_FB_SYSDBA_PASSWORD must name the test Firebird server: "
                     "eval \"$(scripts/servers start)\"";
    return;
  }
  static std::atomic<int> counter{0};
  path_ =
      dir + "/exchange-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".fdb";
  std::remove(path_.c_str());
  bool ok = false;
  const std::string out =
      Isql("SET NAMES ISO8859_1;\nCREATE DATABASE '" + host_ + "/" + port_ + ":" + path_ +
               "' USER 'SYSDBA' PASSWORD '" + password_ + "' DEFAULT CHARACTER SET ISO8859_1;\n" +
               kProdutosDdl + "COMMIT;\n",
           ok);
  if (!ok) {
    ADD_FAILURE() << "cannot create " << path_ << ": " << out;
    return;
  }
  ok_ = true;
}

ProductDb::~ProductDb() {
  if (ok_) {
    bool ok = false;
    Isql("CONNECT '" + host_ + "/" + port_ + ":" + path_ + "' USER 'SYSDBA' PASSWORD '" +
             password_ + "';\nDROP DATABASE;\n",
         ok);
  }
}

std::string ProductDb::Isql(const std::string& sql, bool& ok) {
  // isql reading a pipe drops bytes above 0x7F: the script goes in a file.
  char script[] = "/tmp/exchange-isql-XXXXXX";
  const int fd = ::mkstemp(script);
  if (fd < 0) {
    ok = false;
    return "mkstemp failed";
  }
  ::close(fd);
  {
    std::ofstream f(script, std::ios::binary);
    f << sql;
  }
  const std::string out_path = std::string(script) + ".out";
  const std::string cmd = "isql-fb -q -b -i " + std::string(script) + " >" + out_path + " 2>&1";
  const int rc = std::system(cmd.c_str());
  std::ifstream in(out_path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::remove(script);
  std::remove(out_path.c_str());
  ok = rc == 0;
  return ss.str();
}

bool ProductDb::Run(const std::string& sql) {
  bool ok = false;
  const std::string out =
      Isql("SET NAMES ISO8859_1;\nCONNECT '" + host_ + "/" + port_ + ":" + path_ +
               "' USER 'SYSDBA' PASSWORD '" + password_ + "';\n" + sql + "\nCOMMIT;\n",
           ok);
  if (!ok) ADD_FAILURE() << "isql: " << out;
  return ok;
}

std::string ProductDb::Scalar(const std::string& select) {
  bool ok = false;
  const std::string out =
      Isql("SET NAMES ISO8859_1;\nCONNECT '" + host_ + "/" + port_ + ":" + path_ +
               "' USER 'SYSDBA' PASSWORD '" + password_ + "';\nSET LIST ON;\n" + select + ";\n",
           ok);
  if (!ok) {
    ADD_FAILURE() << "isql: " << out;
    return "";
  }
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (line.empty() || space == std::string::npos) continue;
    const std::size_t value = line.find_first_not_of(' ', space);
    return value == std::string::npos ? "" : line.substr(value);
  }
  return "";
}

void ProductDb::Connect(quilvane::testing::SiteComponents& c) const {
  c.Connvelstrand.SetParam("Server", host_);
  c.Connvelstrand.SetParam("Port", port_);
  c.Connvelstrand.SetParam("Database", path_);
  c.Connvelstrand.SetParam("User_Name", "SYSDBA");
  c.Connvelstrand.SetParam("Password", password_);
  c.Connvelstrand.Connect();
}

std::vector<std::string> ProductDb::Dump() {
  quilvane::testing::SiteComponents c{platform::Env::Default()};
  Connect(c);
  db::Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL(std::string(quilvane::testing::kSiteSqlProdutos) + "\nORDER BY P.CODIGO");
  q.Open();
  q.FetchAll();
  std::vector<std::string> rows;
  for (q.First(); !q.Eof(); q.Next()) {
    std::string row;
    for (const StatementPart& part : kStatementParts) {
      if (!row.empty()) row += '|';
      const db::Field f = q.FieldByName(part.column);
      switch (part.kind) {
        case LiteralKind::kValor2:
          row += FormataValor(f.AsCurrency(), 2);
          break;
        case LiteralKind::kValor3:
          row += FormataValor(f.AsCurrency(), 3);
          break;
        case LiteralKind::kData:
          row += FormataData(f.AsDateTime());
          break;
        case LiteralKind::kTexto:
          row += FormataTexto(f.AsString());
          break;
      }
    }
    rows.push_back(row);
  }
  q.Close();
  c.Connvelstrand.Disconnect();
  return rows;
}

}  // namespace quilvane::exchange::testing
