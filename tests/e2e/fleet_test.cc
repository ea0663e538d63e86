// The fleet view end to end: receipts, the status page and -STATUS.
#include <cstdio>

#include "tests/e2e/e2e_fixture.h"

namespace quilvane::e2e {
namespace {

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
        " --disable-extensions --hide-scrollbars --user-data-dir='" +
        profile.path() + "' ";
    const std::string shot = std::string(QUILVANE_BUILD_DIR) + "/status-page/e2e-status.png";
    std::filesystem::create_directories(std::string(QUILVANE_BUILD_DIR) + "/status-page");
    std::filesystem::remove(shot);
    EXPECT_EQ(0, std::system((flags + "--screenshot='" + shot + "' --window-size=1280,900 " +
                              "'file://" + page + "' >/dev/null 2>&1")
                                 .c_str()));
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
  WriteSettings(branch_, "EnviarRecibo=1\r\nNomeFilial=Loja Centro\r\n");
  WriteSettings(lacks_, "EnviarRecibo=1\r\n");
  // The web side of the third branch points where nothing listens.
  platform::WriteFileAtomically(
      offline_.dir + "Quilvane.ini",
      "[Quilvane]\r\nCNPJServidor=" + cnpj_ + "\r\nServidorFTP=127.0.0.1:" + ftp_port_ +
          "\r\nUsuarioFTP=" + ftp_user_ + "\r\nDominioWeb=localhost:1\r\nEnviarRecibo=1\r\n");
  WriteSettings(head_, "PublicarStatus=1\r\n");
  const std::string extra =
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-1', 5); "
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-2', 6); "
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('NOVO-3', 7); "
      // A product without a code: the head office's, never one a branch lacks.
      "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES ('', 8); COMMIT";
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
  EXPECT_NE(std::string::npos, applied.find("\r\ncomandos=" + std::to_string(kProducts + 4)))
      << applied;
  EXPECT_NE(std::string::npos, applied.find("\r\nnome=Loja Centro\r\n")) << applied;
  EXPECT_NE(std::string::npos, applied.find("\r\nsem_codigo=1\r\n")) << applied;
  const std::string lacks = Receipt("98765432000200");
  EXPECT_NE(std::string::npos, lacks.find("\r\nresultado=aplicado\r\n")) << lacks;
  EXPECT_NE(std::string::npos, lacks.find("\r\nsem_produto=3\r\n")) << lacks;
  EXPECT_NE(std::string::npos, lacks.find("\r\nsem_codigo=1\r\n")) << lacks;
  EXPECT_EQ(1u, Count(Log(lacks_), " - 1 produto(s) da matriz sem código no arquivo\r\n"))
      << Log(lacks_);
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
  EXPECT_EQ(1u, Count(page, "Loja Centro</span> <span class=\"nw\">98.765.432/0001-10")) << page;
  EXPECT_EQ(1u, Count(page, "<p class=\"matriz\">1 produto da matriz sem código</p>")) << page;
  EXPECT_EQ(1u, Count(page, "sem código")) << page;
  // The branch that never synchronised is noticed once, also across the
  // head office's runs (each its own process) and -STATUS.
  const std::string red_line = " - Filial 98.765.432/0003-81 nunca sincronizou\r\n";
  EXPECT_EQ(1u, Count(Log(head_), red_line)) << Log(head_);
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  EXPECT_EQ(1u, Count(Log(head_), red_line)) << Log(head_);
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
  EXPECT_NE(std::string::npos, out.find("98.765.432/0001-10  Loja Centro")) << out;
  EXPECT_EQ(1u, Count(Log(head_), red_line)) << Log(head_);
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

// Past the reading limit the table and the page say how many receipts were
// left unread; a receipt stored under another branch's name is flagged, not
// taken for that branch.
TEST_F(FleetEndToEndTest, ReceiptsPastTheLimitAreCountedAndForeignOnesFlagged) {
  std::filesystem::create_directories(recibos_);
  const std::string tail =
      "\r\nversao=0.1.0\r\ninicio=2023-10-17T08:30:05-03:00\r\nresultado=aplicado\r\n";
  platform::WriteFileAtomically(recibos_ + "11111111000111.txt",
                                "recibo=1\r\ncgc=22.222.222/0001-22\r\nnome=Forjada" + tail);
  platform::WriteFileAtomically(recibos_ + "22222222000122.txt",
                                "recibo=1\r\ncgc=22.222.222/0001-22" + tail);
  std::string out = Capture("cd / && '" + head_.dir + "quilvane' -STATUS 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, out.find("rc=0")) << out;
  EXPECT_NE(std::string::npos,
            out.find("o recibo 11111111000111.txt diz ser de 22.222.222/0001-22"))
      << out;
  std::string page = platform::ReadFileToString(head_.dir + "status.html");
  EXPECT_EQ(1u, Count(page, "11111111000111.txt diz ser de 22.222.222/0001-22")) << page;
  EXPECT_EQ(1u, Count(page, "<span class=\"nw\">22.222.222/0001-22</span>")) << page;
  EXPECT_EQ(0u, Count(page, "Forjada")) << page;
  EXPECT_EQ(0u, Count(page, "não lido")) << page;

  for (int i = 0; i < 5000; ++i) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "3%013d", i);
    platform::WriteFileAtomically(recibos_ + digits + ".txt",
                                  std::string("recibo=1\r\ncgc=") + digits + tail);
  }
  out = Capture("cd / && '" + head_.dir + "quilvane' -STATUS 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, out.find("rc=0")) << out.substr(0, 2000);
  EXPECT_NE(std::string::npos, out.find("\n2 recibos não lidos: ")) << out.substr(0, 2000);
  page = platform::ReadFileToString(head_.dir + "status.html");
  EXPECT_EQ(1u, Count(page, "2 recibos não lidos")) << page.substr(0, 4000);
  EXPECT_EQ(5000u, Count(page, "<tr class=\"f "));
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
}  // namespace quilvane::e2e
