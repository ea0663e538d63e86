// The FTP side over TLS end to end: the program itself against the real
// vsftpd (TLS demanded for the login and every data connection, each data
// connection resuming the session), a site password of its own, the test
// CA trusted through CertificadoCA. The branch downloads from the web side
// that serves the same folder.
#include "tests/e2e/e2e_fixture.h"

namespace quilvane::e2e {
namespace {

// The settings of a site whose FTP side is `servidor_ftp` (a scheme and
// the vsftpd port) with SenhaFTP and, when given, CertificadoCA.
std::string FtpsSettings(const std::string& cnpj, const std::string& servidor_ftp,
                         const std::string& certificado_ca, const std::string& web_port) {
  std::string text = "[Quilvane]\r\nCNPJServidor=" + cnpj +
                     "\r\nSincronizarPrecoFarmaciaPopular=1" + "\r\nServidorFTP=" + servidor_ftp +
                     "\r\nUsuarioFTP=" + Env("QUILVANE_FTPS_USER") +
                     "\r\nSenhaFTP=" + Env("QUILVANE_FTPS_PASSWORD") +
                     "\r\nDominioWeb=localhost:" + web_port + "\r\n";
  if (!certificado_ca.empty()) text += "CertificadoCA=" + certificado_ca + "\r\n";
  return text;
}

class FtpsEndToEndTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = Env("QUILVANE_FTPS_PORT");
    implicit_port_ = Env("QUILVANE_FTPS_IMPLICIT_PORT");
    ca_ = Env("QUILVANE_FTPS_CA");
    ASSERT_FALSE(HasFailure());
  }

  void UseFtps(const Site& site, const std::string& servidor_ftp, const std::string& ca) {
    platform::WriteFileAtomically(site.dir + "Quilvane.ini",
                                  FtpsSettings(cnpj_, servidor_ftp, ca, web_port_));
  }

  std::string port_, implicit_port_, ca_;
};

TEST_F(FtpsEndToEndTest, HeadOfficePublishesOverTlsAndTheBranchApplies) {
  struct Case {
    const char* name;
    std::string servidor_ftp;
    bool ca_beside_the_program;  // CertificadoCA relative to the program's folder
  };
  const Case cases[] = {
      {"explicit", "ftpes://localhost:" + port_, false},
      {"implicit", "ftps://127.0.0.1:" + implicit_port_, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Archive());
    platform::WriteFileAtomically(Archive(), "yesterday");
    if (c.ca_beside_the_program) {
      std::filesystem::copy_file(ca_, head_.dir + "ca-da-rede.pem",
                                 std::filesystem::copy_options::overwrite_existing);
    }
    UseFtps(head_, c.servidor_ftp, c.ca_beside_the_program ? "ca-da-rede.pem" : ca_);
    ASSERT_EQ(0, Run(head_)) << Log(head_);
    EXPECT_EQ("", Log(head_));
    EXPECT_EQ(Today(), LastSync(head_));
    EXPECT_NE("yesterday", platform::ReadFileToString(Archive()));
    ExpectNoExchangeFiles(head_);

    WriteSettings(branch_, "");
    ASSERT_EQ(0, Run(branch_)) << Log(branch_);
    EXPECT_EQ(Prices(head_), Prices(branch_));
    EXPECT_EQ(Today(), LastSync(branch_));
    // The next case starts both sites afresh.
    WriteSettings(branch_, "DataUltimaSincronizacao=01/01/2020\r\n");
    platform::DeleteFile(branch_.dir + "Quilvane.log");
  }
}

// Without the test CA the server is one nobody vouches for: the day is not
// recorded, nothing reaches the server, and the log says why.
TEST_F(FtpsEndToEndTest, UntrustedServerGetsNothing) {
  UseFtps(head_, "ftpes://localhost:" + port_, "");
  EXPECT_EQ(0, Run(head_));
  EXPECT_EQ("", LastSync(head_));
  EXPECT_FALSE(platform::FileExists(Archive()));
  const std::string log = Log(head_);
  EXPECT_NE(std::string::npos, log.find(" - Falha ao conectar no FTP: ")) << log;
  ExpectNoExchangeFiles(head_);
}

TEST_F(FtpsEndToEndTest, CheckShowsTheFtpCertificateAndKeepsThePasswordPrivate) {
  UseFtps(head_, "ftpes://localhost:" + port_, ca_);
  ASSERT_EQ(0, std::system(("chmod 600 '" + head_.dir + "Quilvane.ini'").c_str()));
  const std::string out = Capture("cd / && '" + head_.dir + "quilvane' -CHECK 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, out.find("rc=0")) << out;
  for (const std::string& line : std::vector<std::string>{
           "OK     Certificado do FTP: TLSv1.",
           ", CN=localhost, emitido por CN=Quilvane Teste CA, ",
           "OK     FTP: login em ftpes://localhost:" + port_ + " como " + Env("QUILVANE_FTPS_USER"),
           "OK     Pasta de troca: quilvane/: listável",
           "OK     SenhaFTP: definida (não mostrada)"}) {
    EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;
  }
  EXPECT_EQ(std::string::npos, out.find(Env("QUILVANE_FTPS_PASSWORD"))) << out;

  // Readable by every local user: a warning, and the day still works.
  ASSERT_EQ(0, std::system(("chmod 755 '" + root_.path() + "' '" + head_.dir + "' && chmod 644 '" +
                            head_.dir + "Quilvane.ini'")
                               .c_str()));
  const std::string open = Capture("cd / && '" + head_.dir + "quilvane' -CHECK 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, open.find("AVISO  SenhaFTP: definida, mas " + head_.dir +
                                         "Quilvane.ini pode ser lido por qualquer usuário"))
      << open;
  EXPECT_NE(std::string::npos, open.find("rc=0")) << open;
}

// Receipts and -STATUS over TLS; they share the receipts folder with the
// other fleet tests, so ctest runs them one at a time (Fleet*).
class FleetOverTlsTest : public FtpsEndToEndTest {
 protected:
  void SetUp() override {
    FtpsEndToEndTest::SetUp();
    if (HasFatalFailure()) return;
    recibos_ = exchange_dir_ + "/recibos/";
    std::filesystem::remove_all(recibos_);
    std::filesystem::remove(exchange_dir_ + "/status.html");
  }
  void TearDown() override {
    std::filesystem::remove_all(recibos_);
    std::filesystem::remove(exchange_dir_ + "/status.html");
    FtpsEndToEndTest::TearDown();
  }
  std::string recibos_;
};

TEST_F(FleetOverTlsTest, ReceiptsAndStatusTravelOverTls) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);  // published over plain FTP, as older sites do
  platform::WriteFileAtomically(
      branch_.dir + "Quilvane.ini",
      FtpsSettings(cnpj_, "ftps://localhost:" + implicit_port_, ca_, web_port_) +
          "EnviarRecibo=1\r\n");
  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  const std::string receipt_path = recibos_ + "98765432000110.txt";
  ASSERT_TRUE(platform::FileExists(receipt_path)) << Log(branch_);
  EXPECT_NE(std::string::npos,
            platform::ReadFileToString(receipt_path).find("\r\nresultado=aplicado\r\n"));
  EXPECT_FALSE(platform::FileExists(branch_.dir + "Quilvane.recibo"));

  UseFtps(head_, "ftpes://localhost:" + port_, ca_);
  const std::string out = Capture("cd / && '" + head_.dir + "quilvane' -STATUS 2>&1; echo rc=$?");
  EXPECT_NE(std::string::npos, out.find("rc=0")) << out;
  EXPECT_NE(std::string::npos, out.find("98.765.432/0001-10")) << out;
  const std::string served = exchange_dir_ + "/status.html";
  ASSERT_TRUE(platform::FileExists(served)) << out;
  EXPECT_NE(std::string::npos, platform::ReadFileToString(served).find("98.765.432/0001-10"));
}

}  // namespace
}  // namespace quilvane::e2e
