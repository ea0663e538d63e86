// End to end, on the real servers: each case is one row of the cycle's
// outcome table, seen from the files an operator would look at.
#include "tests/e2e/e2e_fixture.h"

namespace quilvane::e2e {
namespace {

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
  Publish(
      "01/03/2020\r\nUPDATE PRODUTOS SET PRECOCUSTO = 1.00, LUCRO = NULL, PRECOVENDA = NULL, "
      "TIPOPROMOCAO = NULL, INICIOPROM = NULL, FINALPROM = NULL, DESCPROMVISTA = NULL, "
      "DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = "
      "NULL, "
      "PROMQTDMINIMAPRAZO = NULL, PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = "
      "NULL, "
      "PROMLEVEPRAZO = NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, PROMKITQTDPRAZO = "
      "NULL, "
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
  Publish(Today() +
          "\r\nUPDATE PRODUTOS SET PRECOCUSTO = 1.00, LUCRO = NULL, PRECOVENDA = NULL, "
          "TIPOPROMOCAO = NULL, INICIOPROM = NULL, FINALPROM = NULL, DESCPROMVISTA = NULL, "
          "DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA "
          "= NULL, "
          "PROMQTDMINIMAPRAZO = NULL, PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO "
          "= NULL, "
          "PROMLEVEPRAZO = NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, PROMKITQTDPRAZO "
          "= NULL, "
          "PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = NULL, PROMDESCRESIDUALVISTA = NULL, "
          "PROMDESCRESIDUALPRAZO = NULL WHERE CODIGO = '7891000000000'\r\n"
          "DELETE FROM PRODUTOS\r\n");
  EXPECT_EQ(1, Run(branch_));
  EXPECT_NE(
      std::string::npos,
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
// applies the rest and logs one line with the count and the codes. A head
// office product without a code is its own data: reported apart.
TEST_F(EndToEndTest, BranchLacksProductsDryRunThenCycle) {
  ASSERT_EQ("", Sql(head_,
                    "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-1', 5); "
                    "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-2', 6); "
                    "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('', 7); COMMIT"));
  const std::string file = root_.path() + "prices.SQL";
  ASSERT_EQ(0, Run(head_, "-EXPORT '" + file + "'")) << Log(head_);
  const std::string before = Prices(branch_);
  const std::string out =
      Capture("cd / && '" + branch_.dir + "quilvane' -IMPORT '" + file + "' -DRYRUN 2>&1");
  EXPECT_NE(std::string::npos, out.find("would apply")) << out;
  EXPECT_NE(std::string::npos, out.find("2 statement(s) would match no product")) << out;
  EXPECT_NE(std::string::npos, out.find("no product of this database: NOVO-1, NOVO-2\n")) << out;
  EXPECT_NE(std::string::npos, out.find("\n1 statement(s) without a product code (NULL or empty)"))
      << out;
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
  EXPECT_NE(std::string::npos,
            Log(branch_).find(" - 1 produto(s) da matriz sem código no arquivo\r\n"))
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
      {"789\x80\x93"
       "A\x96\x9F\xC7\xE3",
       "\x80", "\x93"},
      {"\x96\x94\xC9\xFF", "\x9F", "\x96"},
      {"\x81\x8D\x8F\x90\x9D", "\xC7", "\x81"},
  };
  auto literals = [](const Product& p) {
    return FirebirdDb::RawText(p.codigo) + ", " + FirebirdDb::RawText(p.tipo) + ", " +
           FirebirdDb::RawText(p.febrafar);
  };
  auto stored_at = [&](const Site& site, const Product& p, const std::string& price) {
    const std::string count =
        Sql(site, "SELECT COUNT(*) FROM PRODUTOS WHERE CODIGO = " + FirebirdDb::RawText(p.codigo) +
                      " AND TIPOPROMOCAO = " + FirebirdDb::RawText(p.tipo) +
                      " AND PROMSOMENTEFEBRAFAR = " + FirebirdDb::RawText(p.febrafar) +
                      " AND PRECOVENDA = " + price);
    const size_t first = count.find_first_not_of(" \n");
    const size_t last = count.find_last_not_of(" \n");
    return first != std::string::npos && count.substr(first, last - first + 1) == "1";
  };
  for (const Product& p : products) {
    Sql(head_,
        "INSERT INTO PRODUTOS (CODIGO, TIPOPROMOCAO, PROMSOMENTEFEBRAFAR, PRECOVENDA) "
        "VALUES (" +
            literals(p) + ", 12.34);\nCOMMIT");
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
    file +=
        "UPDATE PRODUTOS SET PRECOCUSTO = NULL, LUCRO = NULL, PRECOVENDA = 56.78, "
        "TIPOPROMOCAO = '" +
        p.tipo +
        "', INICIOPROM = NULL, FINALPROM = NULL, "
        "DESCPROMVISTA = NULL, DESCPROMPRAZO = NULL, PRECOPROMVISTA = NULL, "
        "PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = NULL, PROMQTDMINIMAPRAZO = NULL, "
        "PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = NULL, "
        "PROMLEVEPRAZO = NULL, PROMKITQTDVISTA = NULL, PROMKITVALORVISTA = NULL, "
        "PROMKITQTDPRAZO = NULL, PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = '" +
        p.febrafar +
        "', PROMDESCRESIDUALVISTA = NULL, PROMDESCRESIDUALPRAZO = NULL "
        "WHERE CODIGO = '" +
        p.codigo + "'\r\n";
  }
  Publish(file);
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  for (const Product& p : products) EXPECT_TRUE(stored_at(branch_, p, "56.78")) << p.codigo;
  ExpectNoExchangeFiles(branch_);
}

}  // namespace
}  // namespace quilvane::e2e
