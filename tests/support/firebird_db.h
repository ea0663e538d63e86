#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quilvane::testing {

// The Firebird server that scripts/servers.d/20-firebird.sh started, from
// QUILVANE_FB_HOST, QUILVANE_FB_PORT, QUILVANE_FB_DIR and
// QUILVANE_FB_SYSDBA_PASSWORD.
struct FirebirdServer {
  std::string host;
  std::string port;
  std::string dir;  // a folder the server may create database files in
  std::string sysdba_password;

  // nullopt, with the names of the missing variables in `missing`, when the
  // server was not started.
  static std::optional<FirebirdServer> FromEnv(std::string* missing);
};

// In a test body or fixture SetUp: fails the test with a clear message
// (never skips) when the server's variables are missing.
#define QUILVANE_REQUIRE_FIREBIRD(server_var)                                                  \
  std::string quilvane_fb_missing_;                                                            \
  auto server_var##_opt = ::quilvane::testing::FirebirdServer::FromEnv(&quilvane_fb_missing_); \
  if (!server_var##_opt) {                                                                     \
    GTEST_FAIL() << "Firebird server not configured (missing " << quilvane_fb_missing_         \
                 << "); run: eval \"$(scripts/servers start)\"";                               \
  }                                                                                            \
  const ::quilvane::testing::FirebirdServer& server_var = *server_var##_opt

// A fresh database on the test server in ISO8859_1, created by SYSDBA
// (only SYSDBA may create databases), where the ERP account USUARIO
// (password mirvex) has every right on every table, with the ERP's tables PADRAO and
// PRODUTOS (every column the product export reads, in a realistic mix of
// column types). Dropped when the object goes away; close every connection
// to it first.
//
// SQL given to Execute/Scalar is UTF-8 and reaches the server in ISO8859_1
// through isql-fb reading a script file (a pipe would lose accents).
class FirebirdDb {
 public:
  explicit FirebirdDb(const FirebirdServer& server, bool with_erp_tables = true);
  ~FirebirdDb();
  FirebirdDb(const FirebirdDb&) = delete;
  FirebirdDb& operator=(const FirebirdDb&) = delete;

  const FirebirdServer& server() const { return server_; }
  // The path as the server sees it: the value for tolmarc.ini's Caminho.
  const std::string& path() const { return path_; }
  // host/port:path
  std::string AttachString() const;
  // Writes "tolmarc.ini" into `dir` with Servidor = `servidor` (default: the
  // server's host) and Caminho = path().
  void WriteTolmarcIni(const std::string& dir, const std::string& servidor = "") const;

  // Runs statements ended by ";" (SET TERM allowed) as SYSDBA and commits;
  // tables it creates are granted to USUARIO. Throws std::runtime_error with isql's output when one
  // fails.
  void Execute(const std::string& sql) const;
  // The first column of the first row of a SELECT as isql lists it
  // ("<null>" for NULL, "" when there is no row).
  std::string Scalar(const std::string& select) const;

  // A text literal of exactly these bytes in ISO8859_1 (`_ISO8859_1 x'..'`),
  // for bytes a UTF-8 script cannot carry as themselves (0x80-0x9F as a
  // Windows program stores them). Empty bytes give ''.
  static std::string RawText(std::string_view bytes);

  // One PADRAO row; nullopt stores NULL.
  void InsertPadrao(int codigo, const std::optional<std::string>& cgc) const;
  // One PRODUTOS row: CODIGO, then column name -> SQL literal ("12.5",
  // "'A'", "NULL", "DATE '2026-01-31'"); columns not given stay NULL.
  void InsertProduto(const std::string& codigo,
                     const std::vector<std::pair<std::string, std::string>>& literals = {}) const;
  // `count` generated products with codes "1".."count": prices, dates,
  // texts and some NULLs, inserted on the server in one block.
  void FillProdutos(int count) const;

 private:
  std::string RunIsql(const std::string& body, bool connect) const;

  FirebirdServer server_;
  std::string path_;
};

// The ERP tables as created by FirebirdDb (statements ended by ";").
extern const char kErpSchemaSql[];

}  // namespace quilvane::testing
