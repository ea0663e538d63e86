// -CHECK's word on the FTP side's TLS: the protocol and certificate an
// operator should see, a warning while there is time to renew, and a
// failure that names its cause and what to do.
#include "sync/site_check_ftp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/tls_server.h"
#include "tests/transfer/test_resolver.h"

namespace quilvane::sync {
namespace {

using testing::TlsTestServer;
constexpr std::int64_t kDay = 86400;

TEST(SiteCheckFtp, CertificateWarnsThreeWeeksBeforeItEnds) {
  const std::int64_t now = 1'800'000'000;
  struct Case {
    std::int64_t left;
    CheckStatus status;
  };
  const Case cases[] = {
      {365 * kDay, CheckStatus::kOk},
      {21 * kDay, CheckStatus::kOk},
      {21 * kDay - 1, CheckStatus::kWarning},
      {kDay, CheckStatus::kWarning},
      {0, CheckStatus::kFailure},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, RateCertificate(now + c.left, now)) << c.left;
  }
  const platform::TlsPeerInfo peer{"TLSv1.3", "CN=ftp.example", "CN=Example CA", now + 5 * kDay};
  const auto local = [](std::int64_t) { return std::string("16/01/2027 10:00"); };
  EXPECT_EQ(CertificateDetail(peer, now, local),
            "TLSv1.3, CN=ftp.example, emitido por CN=Example CA, válido até 16/01/2027 10:00; "
            "vence em 5 dias: peça ao servidor de troca que o renove");
  EXPECT_EQ(CertificateDetail(peer, now - 30 * kDay, local),
            "TLSv1.3, CN=ftp.example, emitido por CN=Example CA, válido até 16/01/2027 10:00");
}

// Against an FTP server over TLS played by OpenSSL: only its login works,
// the exchange folder's steps then fail, which is not what is looked at.
TEST(SiteCheckFtp, CertificateItemOfTheFtpEndpoint) {
  struct Case {
    const char* cert;
    CheckStatus status;
    const char* detail;  // a part of it
  };
  const Case cases[] = {
      {"good", CheckStatus::kOk, ", CN=localhost, emitido por CN=Quilvane Teste CA, válido até "},
      {"soon", CheckStatus::kWarning, " dias: peça ao servidor de troca que o renove"},
      {"other", CheckStatus::kFailure, "escreva em ServidorFTP o nome para o qual"},
      {"expired", CheckStatus::kFailure, "o certificado do servidor de troca venceu"},
      {"self", CheckStatus::kFailure, "indique-a em CertificadoCA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cert);
    TlsTestServer server(TlsTestServer::Options::Cert(c.cert), [](TlsTestServer::Connection& conn) {
      conn.Write("220 ready\r\n");
      for (const char* reply :
           {"500 no HOST", "200 PBSZ=0", "200 PROT P", "331 password", "230 in", "500 no FEAT",
            "200 TYPE I", "215 UNIX", "200 TYPE I", "550 no folder", "221 bye"}) {
        if (conn.ReadLine().empty()) return;
        conn.Write(std::string(reply) + "\r\n");
      }
    });
    transfer::ExchangeServer exchange =
        transfer::MakeExchangeServer("ftps://127.0.0.1:" + std::to_string(server.port()), "", "");
    exchange.tls.ca_file = testing::TestCert("ca");
    exchange.tls.use_system_store = false;
    std::vector<CheckResult> results;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    CheckFtpSide(exchange, "/nonexistent/", "12345678000190",
                 {[now] { return now; }, [](std::int64_t) { return std::string("<quando>"); }},
                 [&](CheckStatus status, std::string item, std::string detail) {
                   results.push_back({status, std::move(item), std::move(detail)});
                 });
    server.Stop();
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.front().item, "Certificado do FTP");
    EXPECT_EQ(results.front().status, c.status) << results.front().detail;
    EXPECT_NE(results.front().detail.find(c.detail), std::string::npos) << results.front().detail;
    if (c.status == CheckStatus::kFailure) {
      EXPECT_EQ(results.size(), 1u);
    } else {
      EXPECT_EQ(results.front().detail.find("TLSv1."), 0u) << results.front().detail;
      ASSERT_GE(results.size(), 2u);
      EXPECT_EQ(results[1].item, "FTP");
    }
  }
}

}  // namespace
}  // namespace quilvane::sync
