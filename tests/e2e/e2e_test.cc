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
#include <algorithm>
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

// -CHECK: its output and exit status, run as the operator runs it.
struct CheckRun {
  int status = -1;
  std::string output;
};

CheckRun RunCheck(const std::string& dir) {
  CheckRun run;
  if (FILE* p = popen(("cd / && '" + dir + "quilvane' -CHECK 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
    const int rc = pclose(p);
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  return run;
}

// The output's lines that start with `prefix` ("AVISO  ", "FALHA  Log: ").
std::vector<std::string> LinesWith(const std::string& output, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    if (line.starts_with(prefix)) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The names in a folder, sorted.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(EndToEndTest, CheckPassesAtWorkingSitesAndChangesNothing) {
  const exchange::PrivateKey key = exchange::GenerateKeyFile(head_.dir + exchange::kKeyFileName);
  const std::vector<std::string> head_files = Entries(head_.dir);
  const std::vector<std::string> exchange_files = Entries(exchange_dir_);
  const CheckRun head = RunCheck(head_.dir);
  EXPECT_EQ(0, head.status) << head.output;
  EXPECT_TRUE(LinesWith(head.output, "AVISO  ").empty()) << head.output;
  EXPECT_TRUE(LinesWith(head.output, "FALHA  ").empty()) << head.output;
  for (const char* line :
       {"OK     Banco de dados: 127.0.0.1:", "OK     Função do site: matriz", "OK     FTP: login",
        "OK     Pasta de troca: quilvane/: listável", "OK     Biblioteca do Firebird: /",
        "OK     Log: ", "OK     Relógio: ", "\nResultado: "}) {
    EXPECT_NE(std::string::npos, head.output.find(line)) << line << "\n" << head.output;
  }
  EXPECT_NE(std::string::npos,
            head.output.find("OK     Chave de assinatura: Quilvane.key (id " +
                             exchange::KeyId(key.public_key()) + ")\n"))
      << head.output;
  // Nothing a cycle would not change: no log, no recorded day, no probe
  // left here or on the exchange server.
  EXPECT_EQ(head_files, Entries(head_.dir));
  EXPECT_EQ(exchange_files, Entries(exchange_dir_));
  EXPECT_EQ("", LastSync(head_));

  ASSERT_EQ(0, Run(head_)) << Log(head_);
  const std::string before = Prices(branch_);
  const std::vector<std::string> branch_files = Entries(branch_.dir);
  const CheckRun branch = RunCheck(branch_.dir);
  EXPECT_EQ(0, branch.status) << branch.output;
  EXPECT_TRUE(LinesWith(branch.output, "AVISO  ").empty()) << branch.output;
  EXPECT_TRUE(LinesWith(branch.output, "FALHA  ").empty()) << branch.output;
  for (const char* line : {"OK     Função do site: filial",
                           "OK     Download 1: http://www.localhost:",
                           "OK     Download 3: http://localhost:"}) {
    EXPECT_NE(std::string::npos, branch.output.find(line)) << line << "\n" << branch.output;
  }
  EXPECT_NE(std::string::npos, branch.output.find(".ZIP: arquivo de " + Today())) << branch.output;
  EXPECT_EQ(branch_files, Entries(branch_.dir));
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));
}

TEST_F(EndToEndTest, CheckNamesTheFailingItem) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  struct Case {
    const char* what;
    const Site* site;
    std::function<void()> damage, repair;
    const char* failing;  // every FALHA line starts so
  };
  const std::string tolmarc = platform::ReadFileToString(head_.dir + "tolmarc.ini");
  const std::string log_path = head_.dir + "Quilvane.log";
  const Case cases[] = {
      {"wrong database path", &head_,
       [&] {
         platform::WriteFileAtomically(head_.dir + "tolmarc.ini",
                                       "[Tolmarc]\r\nServidor=127.0.0.1\r\nCaminho=" + fb_dir_ +
                                           "/missing.fdb\r\n");
       },
       [&] { platform::WriteFileAtomically(head_.dir + "tolmarc.ini", tolmarc); },
       "FALHA  Banco de dados: 127.0.0.1:"},
      {"stopped FTP server", &head_, [&] { WriteSettings(head_, "", "1"); },
       [&] { WriteSettings(head_, ""); }, "FALHA  FTP: 127.0.0.1:1 "},
      {"web side answering 404", &branch_, [&] { std::filesystem::remove(Archive()); }, [] {},
       "FALHA  Download "},
      {"damaged signing key", &head_,
       [&] { platform::WriteFileAtomically(head_.dir + exchange::kKeyFileName, "garbage\n"); },
       [&] { std::filesystem::remove(head_.dir + exchange::kKeyFileName); },
       "FALHA  Chave de assinatura: "},
      {"unreadable log", &head_, [&] { std::filesystem::create_directory(log_path); },
       [&] { std::filesystem::remove(log_path); }, "FALHA  Log: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    const CheckRun run = RunCheck(c.site->dir);
    c.repair();
    EXPECT_EQ(1, run.status) << run.output;
    const std::vector<std::string> failed = LinesWith(run.output, "FALHA  ");
    EXPECT_FALSE(failed.empty()) << run.output;
    for (const std::string& line : failed) {
      EXPECT_TRUE(line.starts_with(c.failing)) << line << "\n" << run.output;
    }
    EXPECT_NE(std::string::npos, run.output.find("FALHA: corrija")) << run.output;
  }
  const CheckRun web = RunCheck(branch_.dir);
  EXPECT_EQ(3u, LinesWith(web.output, "FALHA  Download ").size()) << web.output;
  EXPECT_NE(std::string::npos, web.output.find("404")) << web.output;
  EXPECT_EQ("", Log(head_));
  EXPECT_EQ("", Log(branch_));
}

}  // namespace
}  // namespace quilvane
