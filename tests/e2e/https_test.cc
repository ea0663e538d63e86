// A branch that downloads over https from nginx with its CertificadoCA
// beside the program: the day's prices arrive, -CHECK shows what TLS
// answered, and a server whose certificate fails leaves the prices alone.
#include "tests/e2e/e2e_fixture.h"

namespace quilvane::e2e {
namespace {

class HttpsEndToEnd : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    ASSERT_FALSE(Env("QUILVANE_TLS_CA").empty() || Env("QUILVANE_WEB_TLS_PORT").empty())
        << "QUILVANE_TLS_CA and QUILVANE_WEB_TLS_PORT are not set: run eval \"$(scripts/servers "
           "start)\" first";
    std::filesystem::copy_file(Env("QUILVANE_TLS_CA"), branch_.dir + "rede-ca.pem");
  }

  // The branch's settings with DominioWeb over https on the port in
  // `port_variable`, and the CA file named relative to the program.
  void BranchOverHttps(const char* port_variable) {
    platform::WriteFileAtomically(
        branch_.dir + "Quilvane.ini",
        "[Quilvane]\r\nCNPJServidor=" + cnpj_ + "\r\nSincronizarPrecoFarmaciaPopular=1\r\n" +
            "ServidorFTP=127.0.0.1:" + ftp_port_ + "\r\nUsuarioFTP=" + ftp_user_ +
            "\r\nDominioWeb=https://localhost:" + Env(port_variable) +
            "\r\nCertificadoCA=rede-ca.pem\r\n");
  }

  std::string Check(const Site& site, int* status) {
    std::string out;
    if (FILE* p = popen(("cd / && '" + site.dir + "quilvane' -CHECK 2>&1").c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      const int rc = pclose(p);
      *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    return out;
  }
};

TEST_F(HttpsEndToEnd, BranchDownloadsOverHttpsAndCheckShowsTheCertificate) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  BranchOverHttps("QUILVANE_WEB_TLS_PORT");
  int status = -1;
  const std::string check = Check(branch_, &status);
  EXPECT_EQ(0, status) << check;
  const std::string https = "https://www.localhost:" + Env("QUILVANE_WEB_TLS_PORT");
  EXPECT_NE(std::string::npos, check.find("OK     Download 1: " + https)) << check;
  EXPECT_NE(std::string::npos,
            check.find("; TLSv1.3, certificado CN=localhost (emitido por CN=Quilvane Teste CA), "
                       "vence em "))
      << check;

  ASSERT_EQ(0, Run(branch_)) << Log(branch_);
  EXPECT_EQ(Prices(head_), Prices(branch_));
  EXPECT_EQ(Today(), LastSync(branch_));
  EXPECT_EQ(std::string::npos, Log(branch_).find("Falha")) << Log(branch_);
  ExpectNoExchangeFiles(branch_);
}

TEST_F(HttpsEndToEnd, CheckWarnsBeforeTheCertificateEnds) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  BranchOverHttps("QUILVANE_WEB_SOON_PORT");
  int status = -1;
  const std::string check = Check(branch_, &status);
  EXPECT_EQ(0, status) << check;
  EXPECT_NE(std::string::npos,
            check.find("AVISO  Download 1: https://www.localhost:" + Env("QUILVANE_WEB_SOON_PORT")))
      << check;
  EXPECT_NE(std::string::npos, check.find(": renove o certificado antes do vencimento")) << check;
}

TEST_F(HttpsEndToEnd, RefusedCertificateAppliesNothing) {
  ASSERT_EQ(0, Run(head_)) << Log(head_);
  const std::string before = Prices(branch_);
  BranchOverHttps("QUILVANE_WEB_EXPIRED_PORT");
  int status = -1;
  const std::string check = Check(branch_, &status);
  EXPECT_EQ(1, status) << check;
  EXPECT_NE(std::string::npos,
            check.find("FALHA  Download 3: https://localhost:" + Env("QUILVANE_WEB_EXPIRED_PORT")))
      << check;

  EXPECT_EQ(0, Run(branch_));
  EXPECT_EQ(before, Prices(branch_));
  EXPECT_EQ("", LastSync(branch_));
  EXPECT_NE(std::string::npos,
            Log(branch_).find(" - Falha ao realizar o download do arquivo: Certificado vencido "
                              "ou ainda não válido: CN=localhost (emitido por CN=Quilvane Teste "
                              "CA), válido de 01/01/2020 a 01/01/2021\r\n"))
      << Log(branch_);
  ExpectNoExchangeFiles(branch_);
}

}  // namespace
}  // namespace quilvane::e2e
