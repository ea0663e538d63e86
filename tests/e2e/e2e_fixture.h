#pragma once

// The end-to-end fixture: a head office and a branch, each with its own
// Firebird database and its own copy of the program, synchronising through
// the loopback exchange server.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "exchange/signature.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::e2e {
constexpr int kProducts = 300;

inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    ADD_FAILURE() << name << " is not set: start the servers with scripts/servers start";
    return "";
  }
  return v;
}

inline std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The local day `days` from today in strftime's `format`.
inline std::string LocalDay(int days, const char* format) {
  const time_t then = time(nullptr) + days * 86400;
  tm local{};
  localtime_r(&then, &local);
  char buf[16];
  strftime(buf, sizeof buf, format, &local);
  return buf;
}

inline std::string Today() { return LocalDay(0, "%d/%m/%Y"); }

struct Site {
  std::string dir;
  std::string db;
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fb_dir_ = Env("QUILVANE_FB_DIR");
    sysdba_ = Env("QUILVANE_FB_SYSDBA_PASSWORD");
    ftp_port_ = Env("QUILVANE_FTP_PORT");
    web_port_ = Env("QUILVANE_WEB_PORT");
    ftp_user_ = Env("QUILVANE_FTP_USER");
    exchange_dir_ = Env("QUILVANE_EXCHANGE_DIR");
    ASSERT_FALSE(::testing::Test::HasFailure());
    // Each test has its own head office, so parallel tests never share an
    // archive on the exchange server.
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const auto h = std::hash<std::string>{}(name) % 100000000ull;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08llu000199", static_cast<unsigned long long>(h));
    digits_ = digits;
    cnpj_ = digits_.substr(0, 2) + "." + digits_.substr(2, 3) + "." + digits_.substr(5, 3) + "/" +
            digits_.substr(8, 4) + "-" + digits_.substr(12, 2);
    tag_ = name;
    head_ = MakeSite("matriz", cnpj_, false);
    branch_ = MakeSite("filial", "98.765.432/0001-10", true);
    std::filesystem::remove(Archive());
  }

  void TearDown() override {
    std::filesystem::remove(Archive());
    for (const Site* s : {&head_, &branch_}) std::filesystem::remove(s->db);
  }

  std::string Archive() const { return exchange_dir_ + "/" + digits_ + ".ZIP"; }

  Site MakeSite(const std::string& role, const std::string& cgc, bool stale) {
    Site site;
    site.dir = root_.path() + role + "/";
    std::filesystem::create_directories(site.dir);
    std::filesystem::copy_file(QUILVANE_BINARY, site.dir + "quilvane");
    site.db = fb_dir_ + "/e2e-" + tag_ + "-" + role + ".fdb";
    std::filesystem::remove(site.db);
    const std::string script = site.dir + "seed.sql";
    const std::string seed = "/usr/bin/python3 '" + std::string(QUILVANE_SOURCE_DIR) +
                             "/scripts/demo-seed.py' '127.0.0.1/3050:" + site.db + "' '" + sysdba_ +
                             "' '" + cgc + "' " + std::to_string(kProducts) + " " +
                             (stale ? "1" : "0") + " > '" + script + "'";
    EXPECT_EQ(0, std::system(seed.c_str()));
    EXPECT_EQ(0, std::system(("isql-fb -q -b -i '" + script + "' >/dev/null").c_str()));
    std::filesystem::remove(script);
    WriteSettings(site, "");
    platform::WriteFileAtomically(site.dir + "tolmarc.ini",
                                  "[Tolmarc]\r\nServidor=127.0.0.1\r\nCaminho=" + site.db + "\r\n");
    return site;
  }

  void WriteSettings(const Site& site, const std::string& extra, const std::string& ftp_port = "") {
    platform::WriteFileAtomically(
        site.dir + "Quilvane.ini",
        "[Quilvane]\r\nCNPJServidor=" + cnpj_ + "\r\nSincronizarPrecoFarmaciaPopular=1\r\n" +
            "ServidorFTP=127.0.0.1:" + (ftp_port.empty() ? ftp_port_ : ftp_port) + "\r\n" +
            "UsuarioFTP=" + ftp_user_ + "\r\nDominioWeb=localhost:" + web_port_ + "\r\n" + extra);
  }

  int Run(const Site& site, const std::string& args = "-ONCE") {
    const int rc =
        std::system(("cd / && '" + site.dir + "quilvane' " + args + " 2>/dev/null").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  std::string Sql(const Site& site, const std::string& query) {
    const std::string script = root_.path() + "query.sql";
    platform::WriteFileAtomically(
        script, "CONNECT '127.0.0.1/3050:" + site.db +
                    "' USER 'USUARIO' PASSWORD 'mirvex';\nSET HEADING OFF;\n" + query + ";\n");
    return Capture("isql-fb -q -b -i '" + script + "' 2>&1");
  }

  // Every column the exchange carries, for every product.
  std::string Prices(const Site& site) {
    return Sql(
        site,
        "SELECT CODIGO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR, PRECOVENDA, TIPOPROMOCAO, "
        "INICIOPROM, FINALPROM, DESCPROMVISTA, DESCPROMPRAZO, PRECOPROMVISTA, PRECOPROMPRAZO, "
        "PROMQTDMINIMAVISTA, PROMQTDMINIMAPRAZO, PROMPAGUEVISTA, PROMLEVEVISTA, "
        "PROMPAGUEPRAZO, PROMLEVEPRAZO, PROMKITQTDVISTA, PROMKITVALORVISTA, PROMKITQTDPRAZO, "
        "PROMKITVALORPRAZO, PROMSOMENTEFEBRAFAR, PROMDESCRESIDUALVISTA, "
        "PROMDESCRESIDUALPRAZO FROM PRODUTOS ORDER BY CODIGO");
  }

  std::string LastSync(const Site& site) {
    return platform::IniFile(site.dir + "Quilvane.ini")
        .ReadString("Quilvane", "DataUltimaSincronizacao", "");
  }

  std::string Log(const Site& site) {
    const std::string path = site.dir + "Quilvane.log";
    return platform::FileExists(path) ? platform::AnsiToUtf8(platform::ReadFileToString(path)) : "";
  }

  void ExpectNoExchangeFiles(const Site& site) {
    EXPECT_FALSE(platform::FileExists(site.dir + digits_ + ".SQL"));
    EXPECT_FALSE(platform::FileExists(site.dir + digits_ + ".ZIP"));
    EXPECT_FALSE(platform::FileExists("/" + digits_ + ".ZIP"));
  }

  // Packs a hand-made exchange file with the program's own -PACK and puts it
  // on the exchange server in place of the head office's.
  void Publish(const std::string& content) {
    const std::string sql = root_.path() + digits_ + ".SQL";
    platform::WriteFileAtomically(sql, content);
    ASSERT_EQ(0, Run(head_, "-PACK '" + sql + "'"));
    std::filesystem::copy_file(root_.path() + digits_ + ".ZIP", Archive(),
                               std::filesystem::copy_options::overwrite_existing);
  }

  testing::TempDir root_;
  std::string fb_dir_, sysdba_, ftp_port_, web_port_, ftp_user_, exchange_dir_;
  std::string digits_, cnpj_, tag_;
  Site head_, branch_;
};

}  // namespace quilvane::e2e
