// End to end, on the real servers: a head office and a branch, each with its
// own Firebird database and its own copy of the program, synchronise through
// the loopback exchange server. Each case is one row of the cycle's outcome
// table, seen from the files an operator would look at.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane {
namespace {

constexpr int kProducts = 300;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    ADD_FAILURE() << name << " is not set: start the servers with scripts/servers start";
    return "";
  }
  return v;
}

std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

std::string Today() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[16];
  strftime(buf, sizeof buf, "%d/%m/%Y", &local);
  return buf;
}

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
    const int rc = std::system(("cd / && '" + site.dir + "quilvane' " + args + " 2>/dev/null").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  std::string Sql(const Site& site, const std::string& query) {
    const std::string script = root_.path() + "query.sql";
    platform::WriteFileAtomically(script, "CONNECT '127.0.0.1/3050:" + site.db +
                                              "' USER 'USUARIO' PASSWORD 'mirvex';\nSET HEADING OFF;\n" +
                                              query + ";\n");
    return Capture("isql-fb -q -b -i '" + script + "' 2>&1");
  }

  // Every column the exchange carries, for every product.
  std::string Prices(const Site& site) {
    return Sql(site,
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

TEST_F(EndToEndTest, SuccessfulDayAtBothSites) {
  const std::string before = Prices(branch_);
  ASSERT_NE(before, Prices(head_));
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  EXPECT_TRUE(platform::FileExists(Archive()));
  EXPECT_EQ(Today(), LastSync(head_));
  EXPECT_EQ("", Log(head_));
  ExpectNoExchangeFiles(head_);

  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  EXPECT_EQ(Today(), LastSync(branch_));
  const std::string log = Log(branch_);
  EXPECT_NE(std::string::npos, log.find(" - O arquivo baixado existe!!!\r\n")) << log;
  EXPECT_NE(std::string::npos, log.find(" - Descompactou o arquivo!!!\r\n")) << log;
  ExpectNoExchangeFiles(branch_);

  // A second cycle the same day does nothing at either site.
  const auto stamp = std::filesystem::last_write_time(Archive());
  ASSERT_EQ(0, Run(head_));
  ASSERT_EQ(0, Run(branch_));
  EXPECT_EQ(stamp, std::filesystem::last_write_time(Archive()));
  EXPECT_EQ("", Log(head_));
  EXPECT_EQ(log, Log(branch_));
}

TEST_F(EndToEndTest, FtpDownAtHeadOfficeRetriesNextCycle) {
  WriteSettings(head_, "", "1");  // nothing listens on port 1
  EXPECT_EQ(0, Run(head_));
  EXPECT_EQ("", LastSync(head_));
  EXPECT_NE(std::string::npos, Log(head_).find(" - Falha ao conectar no FTP: ")) << Log(head_);
  EXPECT_FALSE(platform::FileExists(Archive()));
  ExpectNoExchangeFiles(head_);

  WriteSettings(head_, "");
  EXPECT_EQ(0, Run(head_)) << Log(head_);
  EXPECT_EQ(Today(), LastSync(head_));
  EXPECT_TRUE(platform::FileExists(Archive()));
}

TEST_F(EndToEndTest, WebSideAnswering404) {
  // Nothing was published for this head office.
  EXPECT_EQ(0, Run(branch_));
  const std::string log = Log(branch_);
  EXPECT_NE(std::string::npos, log.find(" - Falha ao realizar o download do arquivo: ")) << log;
  EXPECT_NE(std::string::npos, log.find("404")) << log;
  EXPECT_NE(std::string::npos, log.find(" - Não baixou o arquivo!!!\r\n")) << log;
  EXPECT_EQ("", LastSync(branch_));
  ExpectNoExchangeFiles(branch_);
}

TEST_F(EndToEndTest, FileNotNewerChangesNothing) {
  WriteSettings(branch_, "DataUltimaSincronizacao=01/03/2020\r\n");
  const std::string before = Prices(branch_);
  Publish("01/03/2020\r\nUPDATE PRODUTOS SET PRECOCUSTO = 1.00, LUCRO = NULL, PRECOVENDA = NULL, "
          "TIPOPROMOCAO = NULL, INICIOPROM = NULL, FINALPROM = NULL, DESCPROMVISTA = NULL, "
          "DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = NULL, "
          "PROMQTDMINIMAPRAZO = NULL, PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = NULL, "
          "PROMLEVEPRAZO = NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, PROMKITQTDPRAZO = NULL, "
          "PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = NULL, PROMDESCRESIDUALVISTA = NULL, "
          "PROMDESCRESIDUALPRAZO = NULL WHERE CODIGO = '7891000000000'\r\n");
  EXPECT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("01/03/2020", LastSync(branch_));
  ExpectNoExchangeFiles(branch_);
}

TEST_F(EndToEndTest, ArchiveAlteredInTransit) {
  ASSERT_EQ(0, Run(head_));
  {
    std::string bytes = platform::ReadFileToString(Archive());
    ASSERT_GT(bytes.size(), 200u);
    bytes[100] = static_cast<char>(bytes[100] ^ 0x55);  // inside the member's data
    platform::WriteFileAtomically(Archive(), bytes);
  }
  const std::string before = Prices(branch_);
  EXPECT_EQ(0, Run(branch_));
  const std::string log = Log(branch_);
  EXPECT_NE(std::string::npos, log.find(" - Falha ao descompactar o arquivo: ")) << log;
  EXPECT_NE(std::string::npos, log.find(" - Não baixou o arquivo!!!\r\n")) << log;
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));
  ExpectNoExchangeFiles(branch_);
}

TEST_F(EndToEndTest, ForbiddenLineIsRefusedWhole) {
  const std::string before = Prices(branch_);
  Publish(Today() + "\r\nUPDATE PRODUTOS SET PRECOCUSTO = 1.00, LUCRO = NULL, PRECOVENDA = NULL, "
          "TIPOPROMOCAO = NULL, INICIOPROM = NULL, FINALPROM = NULL, DESCPROMVISTA = NULL, "
          "DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = NULL, "
          "PROMQTDMINIMAPRAZO = NULL, PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = NULL, "
          "PROMLEVEPRAZO = NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, PROMKITQTDPRAZO = NULL, "
          "PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = NULL, PROMDESCRESIDUALVISTA = NULL, "
          "PROMDESCRESIDUALPRAZO = NULL WHERE CODIGO = '7891000000000'\r\n"
          "DELETE FROM PRODUTOS\r\n");
  EXPECT_EQ(1, Run(branch_));
  EXPECT_NE(std::string::npos,
            Log(branch_).find(" - Comando não permitido na linha 3 do arquivo de sincronização\r\n"))
      << Log(branch_);
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));
  ExpectNoExchangeFiles(branch_);
}

TEST_F(EndToEndTest, RowLockedAtTheBranch) {
  ASSERT_EQ(0, Run(head_));
  // Another connection holds an uncommitted update of one product while the
  // branch imports: the import stops at that statement, the day is not
  // recorded, and the next cycle completes the work.
  const std::string locked = "7891000000370";  // the 11th product
  FILE* holder = popen("isql-fb -q > /dev/null 2>&1", "w");
  ASSERT_NE(nullptr, holder);
  std::fprintf(holder,
               "CONNECT '127.0.0.1/3050:%s' USER 'USUARIO' PASSWORD 'mirvex';\n"
               "UPDATE PRODUTOS SET LUCRO = 1 WHERE CODIGO = '%s';\n",
               branch_.db.c_str(), locked.c_str());
  std::fflush(holder);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(1, Run(branch_));
  std::fprintf(holder, "ROLLBACK;\nEXIT;\n");
  pclose(holder);
  const std::string log = Log(branch_);
  EXPECT_NE(std::string::npos, log.find("update conflicts with concurrent update")) << log;
  EXPECT_EQ("", LastSync(branch_));
  ExpectNoExchangeFiles(branch_);

  ASSERT_EQ(0, Run(head_ /* already done today: no new export */));
  // The head office's archive is still published; the branch now succeeds.
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  EXPECT_EQ(Today(), LastSync(branch_));
}

TEST_F(EndToEndTest, DaemonRunsTheFirstCycleAfterTenSecondsAndStopsOnSigterm) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string exe = head_.dir + "quilvane";
    if (chdir("/") != 0) _exit(126);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto start = std::chrono::steady_clock::now();
  std::chrono::duration<double> first{0};
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    if (!LastSync(head_).empty()) {
      first = std::chrono::steady_clock::now() - start;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GE(first.count(), 9.5);
  EXPECT_LE(first.count(), 30.0);
  ASSERT_EQ(0, kill(pid, SIGTERM));
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_TRUE(platform::FileExists(Archive()));
}

// Products the head office prices that the branch lacks: -IMPORT -DRYRUN
// reports them and changes nothing, not even the log; the cycle's import
// applies the rest and logs one line with the count and the codes.
TEST_F(EndToEndTest, BranchLacksProductsDryRunThenCycle) {
  ASSERT_EQ("", Sql(head_, "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-1', 5); "
                           "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-2', 6); COMMIT"));
  const std::string file = root_.path() + "prices.SQL";
  ASSERT_EQ(0, Run(head_, "-EXPORT '" + file + "'")) << Log(head_);
  const std::string before = Prices(branch_);
  const std::string out =
      Capture("cd / && '" + branch_.dir + "quilvane' -IMPORT '" + file + "' -DRYRUN 2>&1");
  EXPECT_NE(std::string::npos, out.find("would apply")) << out;
  EXPECT_NE(std::string::npos, out.find("2 statement(s) would match no product")) << out;
  EXPECT_NE(std::string::npos, out.find("NOVO-1, NOVO-2")) << out;
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));
  EXPECT_EQ("", Log(branch_));

  ASSERT_EQ(0, Run(head_)) << Log(head_);
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Today(), LastSync(branch_));
  EXPECT_NE(std::string::npos,
            Log(branch_).find(" - 2 produto(s) da matriz não encontrado(s) nesta filial: NOVO-1, "
                              "NOVO-2\r\n"))
      << Log(branch_);
}

// Windows ERPs store Windows-1252 in their ISO8859_1 columns ("€", "“ ”",
// "–" as bytes 0x80-0x9F). The head office wrote them as '?' and the branch
// refused them, so the product was changed or the import stopped there every
// day. Through a real archive, the branch now stores the bytes the head
// office has, and those of a file another site's program wrote.
TEST_F(EndToEndTest, ErpTextArrivesByteForByte) {
  using testing::FirebirdDb;
  struct Product {
    std::string codigo, tipo, febrafar;
  };
  const Product products[] = {
      {"789\x80\x93" "A\x96\x9F\xC7\xE3", "\x80", "\x93"},
      {"\x96\x94\xC9\xFF", "\x9F", "\x96"},
      {"\x81\x8D\x8F\x90\x9D", "\xC7", "\x81"},
  };
  auto literals = [](const Product& p) {
    return FirebirdDb::RawText(p.codigo) + ", " + FirebirdDb::RawText(p.tipo) + ", " +
           FirebirdDb::RawText(p.febrafar);
  };
  auto stored_at = [&](const Site& site, const Product& p, const std::string& price) {
    const std::string count = Sql(site, "SELECT COUNT(*) FROM PRODUTOS WHERE CODIGO = " +
                                            FirebirdDb::RawText(p.codigo) + " AND TIPOPROMOCAO = " +
                                            FirebirdDb::RawText(p.tipo) + " AND PROMSOMENTEFEBRAFAR = " +
                                            FirebirdDb::RawText(p.febrafar) +
                                            " AND PRECOVENDA = " + price);
    const size_t first = count.find_first_not_of(" \n");
    const size_t last = count.find_last_not_of(" \n");
    return first != std::string::npos && count.substr(first, last - first + 1) == "1";
  };
  for (const Product& p : products) {
    Sql(head_, "INSERT INTO PRODUTOS (CODIGO, TIPOPROMOCAO, PROMSOMENTEFEBRAFAR, PRECOVENDA) "
               "VALUES (" + literals(p) + ", 12.34);\nCOMMIT");
    Sql(branch_, "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES (" +
                     FirebirdDb::RawText(p.codigo) + ", 1);\nCOMMIT");
    ASSERT_TRUE(stored_at(head_, p, "12.34")) << p.codigo;
  }

  ASSERT_EQ(0, Run(head_)) << Log(head_);
  EXPECT_EQ("", Log(head_));
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Today(), LastSync(branch_));
  for (const Product& p : products) EXPECT_TRUE(stored_at(branch_, p, "12.34")) << p.codigo;
  EXPECT_EQ(Prices(head_), Prices(branch_));

  // A file as another site's program writes it: the columns' raw bytes.
  WriteSettings(branch_, "");
  std::string file = Today() + "\r\n";
  for (const Product& p : products) {
    file += "UPDATE PRODUTOS SET PRECOCUSTO = NULL, LUCRO = NULL, PRECOVENDA = 56.78, "
            "TIPOPROMOCAO = '" + p.tipo + "', INICIOPROM = NULL, FINALPROM = NULL, "
            "DESCPROMVISTA = NULL, DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, "
            "PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = NULL, PROMQTDMINIMAPRAZO = NULL, "
            "PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = NULL, "
            "PROMLEVEPRAZO = NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, "
            "PROMKITQTDPRAZO = NULL, PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = '" +
            p.febrafar + "', PROMDESCRESIDUALVISTA = NULL, PROMDESCRESIDUALPRAZO = NULL "
            "WHERE CODIGO = '" + p.codigo + "'\r\n";
  }
  Publish(file);
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  for (const Product& p : products) EXPECT_TRUE(stored_at(branch_, p, "56.78")) << p.codigo;
  ExpectNoExchangeFiles(branch_);
}

// The fleet view on the real servers: branches store receipts, the head
// office publishes the status page, -STATUS reads them. These tests share
// the exchange server's receipts folder, so ctest runs them one at a time.
class FleetEndToEndTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (HasFatalFailure()) return;
    recibos_ = exchange_dir_ + "/recibos/";
    std::filesystem::remove_all(recibos_);
    std::filesystem::remove(exchange_dir_ + "/status.html");
  }
  void TearDown() override {
    for (const Site* s : {&lacks_, &offline_}) {
      if (!s->db.empty()) std::filesystem::remove(s->db);
    }
    std::filesystem::remove_all(recibos_);
    std::filesystem::remove(exchange_dir_ + "/status.html");
    EndToEndTest::TearDown();
  }

  // A receipt on the server, as stored bytes; empty when missing.
  std::string Receipt(const std::string& digits) {
    const std::string path = recibos_ + digits + ".txt";
    return platform::FileExists(path) ? platform::ReadFileToString(path) : "";
  }

  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  // The rows the browser builds from `page`, with a screenshot beside it.
  // Empty when Chromium is not installed (the test says so).
  std::string RenderedDom(const std::string& page) {
    const char* chromium = "/usr/bin/chromium";
    if (!platform::FileExists(chromium)) return "";
    testing::TempDir profile;
    const std::string flags =
        std::string("timeout 120 ") + chromium +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-extensions --hide-scrollbars --user-data-dir='" + profile.path() + "' ";
    const std::string shot = std::string(QUILVANE_BUILD_DIR) + "/status-page/e2e-status.png";
    std::filesystem::create_directories(std::string(QUILVANE_BUILD_DIR) + "/status-page");
    std::filesystem::remove(shot);
    EXPECT_EQ(0, std::system((flags + "--screenshot='" + shot + "' --window-size=1280,900 " +
                              "'file://" + page + "' >/dev/null 2>&1").c_str()));
    EXPECT_TRUE(platform::FileExists(shot)) << shot;
    if (platform::FileExists(shot)) {
      EXPECT_EQ(std::string("\x89PNG", 4), platform::ReadFileToString(shot).substr(0, 4));
    }
    return Capture(flags + "--dump-dom 'file://" + page + "' 2>/dev/null");
  }

  std::string recibos_;
  Site lacks_, offline_;
};

// A head office and three branches: one applies, one lacks 3 products the
// head office prices, one cannot download.
TEST_F(FleetEndToEndTest, ThreeBranchesLeaveReceiptsAndTheHeadOfficePublishes) {
  lacks_ = MakeSite("falta", "98.765.432/0002-00", true);
  offline_ = MakeSite("sem-rede", "98.765.432/0003-81", true);
  for (const Site* s : {&branch_, &lacks_}) WriteSettings(*s, "EnviarRecibo=1\r\n");
  // The web side of the third branch points where nothing listens.
  platform::WriteFileAtomically(
      offline_.dir + "Quilvane.ini",
      "[Quilvane]\r\nCNPJServidor=" + cnpj_ + "\r\nServidorFTP=127.0.0.1:" + ftp_port_ +
          "\r\nUsuarioFTP=" + ftp_user_ + "\r\nDominioWeb=localhost:1\r\nEnviarRecibo=1\r\n");
  WriteSettings(head_, "PublicarStatus=1\r\n");
  const std::string extra =
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-1', 5); "
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-2', 6); "
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-3', 7); COMMIT";
  ASSERT_EQ("", Sql(head_, extra));
  ASSERT_EQ("", Sql(branch_, extra));

  ASSERT_EQ(0, Run(head_)) << Log(head_);
  EXPECT_EQ(Today(), LastSync(head_));
  for (const Site* s : {&branch_, &lacks_, &offline_}) EXPECT_EQ(0, Run(*s)) << Log(*s);
  EXPECT_EQ(Prices(head_), Prices(branch_));

  const std::string applied = Receipt("98765432000110");
  EXPECT_NE(std::string::npos, applied.find("\r\ncgc=98.765.432/0001-10\r\n")) << applied;
  EXPECT_NE(std::string::npos, applied.find("\r\nresultado=aplicado\r\n")) << applied;
  EXPECT_NE(std::string::npos, applied.find("\r\nsem_produto=0\r\n")) << applied;
  EXPECT_NE(std::string::npos, applied.find("\r\ncomandos=" + std::to_string(kProducts + 3)))
      << applied;
  const std::string lacks = Receipt("98765432000200");
  EXPECT_NE(std::string::npos, lacks.find("\r\nresultado=aplicado\r\n")) << lacks;
  EXPECT_NE(std::string::npos, lacks.find("\r\nsem_produto=3\r\n")) << lacks;
  for (const char* code : {"NOVO-1", "NOVO-2", "NOVO-3"}) {
    EXPECT_NE(std::string::npos, lacks.find(std::string("\r\ncodigo=") + code + "\r\n")) << lacks;
  }
  const std::string failed = Receipt("98765432000381");
  EXPECT_NE(std::string::npos, failed.find("\r\nresultado=falhou\r\n")) << failed;
  EXPECT_NE(std::string::npos, failed.find("N\xE3o baixou o arquivo!!!")) << failed;
  EXPECT_EQ(std::string::npos, failed.find("data_registrada=")) << failed;
  EXPECT_NE(std::string::npos, applied.find("\r\ndata_arquivo=")) << applied;
  EXPECT_NE(std::string::npos, lacks.find("\r\ndata_arquivo=")) << lacks;
  EXPECT_EQ(std::string::npos, failed.find("\r\ndata_arquivo=")) << failed;

  // The head office's day is done; its next tick still refreshes the page.
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  const std::string served = exchange_dir_ + "/status.html";
  ASSERT_TRUE(platform::FileExists(served));
  const std::string page = platform::ReadFileToString(served);
  EXPECT_EQ(3u, Count(page, "<tr class=\"f ")) << page;
  EXPECT_EQ(2u, Count(page, "<tr class=\"f v\">")) << page;
  EXPECT_EQ(1u, Count(page, "<tr class=\"f r\">")) << page;
  EXPECT_NE(std::string::npos, page.find("2 de 3 filiais em dia")) << page;
  EXPECT_NE(std::string::npos, page.find("NOVO-3")) << page;
  EXPECT_EQ(page, Capture("curl -s --noproxy '*' http://127.0.0.1:" + web_port_ +
                          "/halvoraquin/quilvane/status.html"));

  // -STATUS prints the table worst first and writes the page beside it.
  const std::string out = Capture("cd / && '" + head_.dir + "quilvane' -STATUS 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, out.find("rc=0")) << out;
  const size_t red = out.find("98.765.432/0003-81");
  ASSERT_NE(std::string::npos, red) << out;
  EXPECT_LT(red, out.find("98.765.432/0001-10")) << out;
  EXPECT_LT(red, out.find("98.765.432/0002-00")) << out;
  EXPECT_NE(std::string::npos, out.find("status.html")) << out;
  ASSERT_TRUE(platform::FileExists(head_.dir + "status.html"));

  const std::string dom = RenderedDom(head_.dir + "status.html");
  if (dom.empty()) GTEST_SKIP() << "chromium is not installed (scripts/packages.d/60-browser.txt)";
  EXPECT_EQ(3u, Count(dom, "<tr class=\"f ")) << "rows the browser built";
  EXPECT_EQ(0u, Count(dom, "<script"));
}

// The FTP side down when the branch's cycle ends: the receipt waits beside
// the program and is stored at a later tick, after the day is done.
TEST_F(FleetEndToEndTest, ReceiptStoredLaterAfterTheFtpSideWasDown) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  WriteSettings(branch_, "EnviarRecibo=1\r\n", "1");  // FTP: nothing listens on port 1
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Today(), LastSync(branch_));
  EXPECT_TRUE(platform::FileExists(branch_.dir + "Quilvane.recibo"));
  EXPECT_EQ("", Receipt("98765432000110"));
  ASSERT_EQ(0, Run(branch_));  // the day is done; the server is still down
  EXPECT_EQ(1u, Count(Log(branch_), "Falha ao enviar o recibo: ")) << Log(branch_);

  WriteSettings(branch_, "EnviarRecibo=1\r\nDataUltimaSincronizacao=" + Today() + "\r\n");
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  const std::string receipt = Receipt("98765432000110");
  EXPECT_NE(std::string::npos, receipt.find("\r\nresultado=aplicado\r\n")) << receipt;
  EXPECT_FALSE(platform::FileExists(branch_.dir + "Quilvane.recibo"));
  EXPECT_EQ(1u, Count(Log(branch_), "Recibo pendente enviado.")) << Log(branch_);
}

// A receipt is data from another machine: markup and 1 MB of text in it
// are shown escaped and cut, and an unreachable server is exit status 1.
TEST_F(FleetEndToEndTest, HostileReceiptIsEscapedAndCut) {
  std::filesystem::create_directories(recibos_);
  platform::WriteFileAtomically(
      recibos_ + "66666666000166.txt",
      "recibo=1\r\ncgc=<script>alert(1)</script>\r\nversao=0.1.0\r\n"
      "inicio=2023-10-17T08:30:05-03:00\r\nduracao_ms=5\r\nresultado=falhou\r\nfalha=<script>x" +
          std::string(1 << 20, 'A') + "\r\n");
  const std::string out = Capture("cd / && '" + head_.dir + "quilvane' -STATUS 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, out.find("rc=0")) << out.substr(0, 2000);
  EXPECT_LT(out.size(), 20000u);
  const std::string page = platform::ReadFileToString(head_.dir + "status.html");
  EXPECT_EQ(std::string::npos, page.find("<script")) << page.substr(0, 4000);
  EXPECT_NE(std::string::npos, page.find("&lt;script&gt;")) << page.substr(0, 4000);
  EXPECT_LT(page.size(), 64u * 1024) << "the 1 MB text is cut";
  EXPECT_EQ(1u, Count(page, "<tr class=\"f "));

  WriteSettings(head_, "", "1");
  const std::string down = Capture("cd / && '" + head_.dir + "quilvane' -STATUS 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, down.find("rc=1")) << down;
  EXPECT_NE(std::string::npos, down.find("Falha ao ler os recibos das filiais: ")) << down;
}

}  // namespace
}  // namespace quilvane
