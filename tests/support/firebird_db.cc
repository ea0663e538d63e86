#include "tests/support/firebird_db.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/codepage.h"

namespace quilvane::testing {

const char kErpSchemaSql[] = R"SQL(
CREATE TABLE PADRAO (
  CODIGO INTEGER NOT NULL PRIMARY KEY,
  CGC CHAR(18)
);
CREATE TABLE PRODUTOS (
  CODIGO VARCHAR(20) NOT NULL PRIMARY KEY,
  DESCRICAO VARCHAR(60),
  PRECOCUSTO NUMERIC(15,4),
  LUCRO NUMERIC(9,3),
  PRECOFARMACIAPOPULAR NUMERIC(15,2),
  PRECOVENDA NUMERIC(15,2),
  TIPOPROMOCAO CHAR(1),
  INICIOPROM DATE,
  FINALPROM TIMESTAMP,
  DESCPROMVISTA NUMERIC(4,2),
  DESCPROMPRAZO DOUBLE PRECISION,
  PRECOPROMVISTA NUMERIC(18,6),
  PRECOPROMPRAZO DECIMAL(18,4),
  PROMQTDMINIMAVISTA SMALLINT,
  PROMQTDMINIMAPRAZO INTEGER,
  PROMPAGUEVISTA INTEGER,
  PROMLEVEVISTA INTEGER,
  PROMPAGUEPRAZO SMALLINT,
  PROMLEVEPRAZO BIGINT,
  PROMKITQTDVISTA INTEGER,
  PROMKITVALORVISTA NUMERIC(9,2),
  PROMKITQTDPRAZO INTEGER,
  PROMKITVALORPRAZO DECIMAL(9,2),
  PROMSOMENTEFEBRAFAR VARCHAR(1),
  PROMDESCRESIDUALVISTA NUMERIC(5,2),
  PROMDESCRESIDUALPRAZO DOUBLE PRECISION
);
)SQL";

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::atomic<int> g_counter{0};

}  // namespace

std::optional<FirebirdServer> FirebirdServer::FromEnv(std::string* missing) {
  FirebirdServer s{Env("QUILVANE_FB_HOST"), Env("QUILVANE_FB_PORT"), Env("QUILVANE_FB_DIR"),
                   Env("QUILVANE_FB_SYSDBA_PASSWORD")};
  std::string m;
  if (s.host.empty()) m += " QUILVANE_FB_HOST";
  if (s.port.empty()) m += " QUILVANE_FB_PORT";
  if (s.dir.empty()) m += " QUILVANE_FB_DIR";
  if (s.sysdba_password.empty()) m += " QUILVANE_FB_SYSDBA_PASSWORD";
  if (missing != nullptr) *missing = m;
  if (!m.empty()) return std::nullopt;
  return s;
}

FirebirdDb::FirebirdDb(const FirebirdServer& server, bool with_erp_tables) : server_(server) {
  path_ =
      server_.dir + "/t" + std::to_string(getpid()) + "-" + std::to_string(g_counter++) + ".fdb";
  std::error_code ec;
  std::filesystem::remove(path_, ec);  // a leftover of a crashed run
  RunIsql("CREATE DATABASE " + Quote(AttachString()) + " USER 'SYSDBA' PASSWORD " +
              Quote(server_.sysdba_password) + " DEFAULT CHARACTER SET ISO8859_1;\nCOMMIT;\n",
          false);
  if (with_erp_tables) Execute(kErpSchemaSql);
}

FirebirdDb::~FirebirdDb() {
  try {
    RunIsql("DROP DATABASE;\n", true);
  } catch (const std::exception&) {
    // Still attached somewhere: the file goes anyway.
  }
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

std::string FirebirdDb::AttachString() const {
  return server_.host + "/" + server_.port + ":" + path_;
}

void FirebirdDb::WriteTolmarcIni(const std::string& dir, const std::string& servidor) const {
  std::string folder = dir;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::ofstream out(folder + "tolmarc.ini", std::ios::binary | std::ios::trunc);
  out << "[Tolmarc]\r\nServidor=" << (servidor.empty() ? server_.host : servidor)
      << "\r\nCaminho=" << platform::Utf8ToAnsi(path_) << "\r\n";
}

std::string FirebirdDb::RunIsql(const std::string& body, bool connect) const {
  std::string script = "SET NAMES ISO8859_1;\n";
  if (connect) {
    script += "CONNECT " + Quote(AttachString()) + " USER 'SYSDBA' PASSWORD " +
              Quote(server_.sysdba_password) + ";\n";
  }
  script += body;
  const std::string local =
      "/tmp/quilvane-isql-" + std::to_string(getpid()) + "-" + std::to_string(g_counter++) + ".sql";
  {
    std::ofstream out(local, std::ios::binary | std::ios::trunc);
    out << platform::Utf8ToLatin1(script);
  }
  const std::string command = "isql-fb -q -b -i '" + local + "' 2>&1";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run isql-fb");
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  std::remove(local.c_str());
  output = platform::Latin1ToUtf8(output);
  if (status != 0) throw std::runtime_error("isql-fb failed: " + output + "\nscript:\n" + script);
  return output;
}

void FirebirdDb::Execute(const std::string& sql) const {
  // Tables are created by SYSDBA (only SYSDBA may create databases); the
  // ERP account gets every right on each of them, as at a real site.
  static const char kGrantAll[] =
      "SET TERM ^ ;\n"
      "EXECUTE BLOCK AS\n"
      "  DECLARE T VARCHAR(63);\n"
      "BEGIN\n"
      "  FOR SELECT TRIM(RDB$RELATION_NAME) FROM RDB$RELATIONS\n"
      "      WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 INTO :T DO\n"
      "    EXECUTE STATEMENT 'GRANT ALL ON \"' || T || '\" TO USER USUARIO';\n"
      "END^\n"
      "SET TERM ; ^\n"
      "COMMIT;\n";
  std::string upper = sql;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const bool creates = upper.find("CREATE TABLE") != std::string::npos;
  RunIsql(sql + "\nCOMMIT;\n" + (creates ? kGrantAll : ""), true);
}

std::string FirebirdDb::Scalar(const std::string& select) const {
  const std::string out = RunIsql("SET LIST ON;\n" + select + ";\n", true);
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const size_t space = line.find(' ');
    if (space == std::string::npos) return "";
    const size_t value = line.find_first_not_of(' ', space);
    return value == std::string::npos ? "" : line.substr(value);
  }
  return "";
}

std::string FirebirdDb::RawText(std::string_view bytes) {
  if (bytes.empty()) return "''";
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "_ISO8859_1 x'";
  for (char c : bytes) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 0xF];
  }
  return out + "'";
}

void FirebirdDb::InsertPadrao(int codigo, const std::optional<std::string>& cgc) const {
  Execute("INSERT INTO PADRAO (CODIGO, CGC) VALUES (" + std::to_string(codigo) + ", " +
          (cgc ? Quote(*cgc) : "NULL") + ");");
}

void FirebirdDb::InsertProduto(
    const std::string& codigo,
    const std::vector<std::pair<std::string, std::string>>& literals) const {
  std::string columns = "CODIGO";
  std::string values = Quote(codigo);
  for (const auto& [column, literal] : literals) {
    columns += ", " + column;
    values += ", " + literal;
  }
  Execute("INSERT INTO PRODUTOS (" + columns + ") VALUES (" + values + ");");
}

void FirebirdDb::FillProdutos(int count) const {
  Execute(
      "SET TERM ^ ;\n"
      "EXECUTE BLOCK AS\n"
      "  DECLARE I INTEGER = 1;\n"
      "BEGIN\n"
      "  WHILE (I <= " +
      std::to_string(count) +
      ") DO\n"
      "  BEGIN\n"
      "    INSERT INTO PRODUTOS (CODIGO, DESCRICAO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR,\n"
      "      PRECOVENDA, TIPOPROMOCAO, INICIOPROM, FINALPROM, DESCPROMVISTA, DESCPROMPRAZO,\n"
      "      PRECOPROMVISTA, PRECOPROMPRAZO, PROMQTDMINIMAVISTA, PROMQTDMINIMAPRAZO,\n"
      "      PROMPAGUEVISTA, PROMLEVEVISTA, PROMPAGUEPRAZO, PROMLEVEPRAZO, PROMKITQTDVISTA,\n"
      "      PROMKITVALORVISTA, PROMKITQTDPRAZO, PROMKITVALORPRAZO, PROMSOMENTEFEBRAFAR,\n"
      "      PROMDESCRESIDUALVISTA, PROMDESCRESIDUALPRAZO)\n"
      "    VALUES (:I, 'PRODUTO ' || :I, :I * 0.0137, MOD(:I, 1000) * 0.125,\n"
      "      IIF(MOD(:I, 7) = 0, NULL, :I * 0.01), 1 + MOD(:I, 9999) * 0.07,\n"
      "      IIF(MOD(:I, 3) = 0, 'A', IIF(MOD(:I, 3) = 1, 'B', NULL)),\n"
      "      IIF(MOD(:I, 5) = 0, NULL, DATE '2026-01-01' + MOD(:I, 365)),\n"
      "      IIF(MOD(:I, 5) = 0, NULL, TIMESTAMP '2026-06-30 23:59:59'),\n"
      "      MOD(:I, 50) * 0.5, MOD(:I, 100) / 8.0, :I * 0.000123, :I * 0.0099,\n"
      "      MOD(:I, 10), MOD(:I, 20), 2, 3, IIF(MOD(:I, 11) = 0, NULL, 4), :I * 1000,\n"
      "      MOD(:I, 6), MOD(:I, 300) * 1.5, MOD(:I, 4), MOD(:I, 200) * 2.25,\n"
      "      IIF(MOD(:I, 2) = 0, 'S', 'N'), MOD(:I, 30) * 0.1, MOD(:I, 40) * 0.03125);\n"
      "    I = I + 1;\n"
      "  END\n"
      "END^\n"
      "SET TERM ; ^\n");
}

}  // namespace quilvane::testing
