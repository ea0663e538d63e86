// The download against nginx over TLS (scripts/servers.d/40-web-tls.sh),
// with the test CA as CertificadoCA: https under each of the server's
// names, a plain host moved to https, a gzipping server, and every bad peer
// a failure that names its cause, with nothing stored.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/file.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/download.h"

namespace quilvane::transfer {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class IntegrationHttps : public ::testing::Test {
 protected:
  void SetUp() override {
    exchange_ = Env("QUILVANE_EXCHANGE_DIR");
    ca_ = Env("QUILVANE_TLS_CA");
    ASSERT_TRUE(!exchange_.empty() && !ca_.empty() && !Env("QUILVANE_WEB_TLS_PORT").empty())
        << "QUILVANE_EXCHANGE_DIR, QUILVANE_TLS_CA and QUILVANE_WEB_TLS_PORT are not set: "
           "run eval \"$(scripts/servers start)\" first";
    if (!exchange_.ends_with("/")) exchange_ += "/";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string digits = std::to_string(
        std::hash<std::string>()(std::string("https.") + info->name()) % 100000000000000ull);
    digits_ = std::string(14 - digits.size(), '0') + digits;
    archive_ = "PK\x03\x04" + std::string(200000, 'a') + digits_;
    platform::WriteFileAtomically(exchange_ + digits_ + ".ZIP", archive_);
  }
  void TearDown() override {
    platform::DeleteFile(exchange_ + digits_ + ".ZIP");
    platform::DeleteFile(exchange_ + digits_ + ".ZIP.gz");
  }

  // DominioWeb as `dominio` on the port in `port_variable`, CertificadoCA
  // the test CA unless `with_ca` is false. Returns what arrived, or nullopt
  // with the DownloadError's text in `error_` (and nothing left on disk).
  std::optional<std::string> Download(const std::string& dominio, bool with_ca = true) {
    ExchangeServer server = MakeExchangeServer("", "", dominio);
    if (with_ca) server.tls.ca_file = ca_;
    ConfigureWebClient(http_, server);
    http_.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
    const std::string path = dir_.File(digits_ + ".ZIP");
    error_.clear();
    try {
      transfer::Download(http_, DownloadSource(server, digits_), path);
    } catch (const DownloadError& e) {
      error_ = e.what();
      EXPECT_FALSE(platform::FileExists(path));
      return std::nullopt;
    }
    std::string got = platform::ReadFileToString(path);
    platform::DeleteFile(path);
    return got;
  }

  static std::string Port(const char* variable) { return Env(variable); }

  std::string exchange_, ca_, digits_, archive_, error_;
  HttpClient http_;
  testing::TempDir dir_;
};

TEST_F(IntegrationHttps, ArchiveOverHttpsAsUploaded) {
  const auto got = Download("https://localhost:" + Port("QUILVANE_WEB_TLS_PORT"));
  ASSERT_TRUE(got.has_value()) << error_;
  EXPECT_TRUE(*got == archive_);
  EXPECT_EQ(http_.final_url(), "https://www.localhost:" + Port("QUILVANE_WEB_TLS_PORT") +
                                   "/halvoraquin/quilvane/" + digits_ + ".ZIP");
  ASSERT_TRUE(http_.tls_peer_info().has_value());
  EXPECT_EQ(http_.tls_peer_info()->issuer, "CN=Quilvane Teste CA");
}

// The day a hosting provider moves the site to https: with http:// the
// branch follows, with a bare domain it fails as it always did.
TEST_F(IntegrationHttps, PlainHostMovedToHttps) {
  const std::string moved = "localhost:" + Port("QUILVANE_WEB_REDIRECT_PORT");
  const auto got = Download("http://" + moved);
  ASSERT_TRUE(got.has_value()) << error_;
  EXPECT_TRUE(*got == archive_);
  EXPECT_EQ(http_.final_url().rfind("https://www.localhost:" + Port("QUILVANE_WEB_TLS_PORT"), 0),
            0u)
      << http_.final_url();

  EXPECT_FALSE(Download(moved).has_value());
  EXPECT_EQ(error_, "HTTP/1.1 301 Moved Permanently");
}

TEST_F(IntegrationHttps, GzippedAnywayIsStoredDecoded) {
  platform::WriteFileAtomically(exchange_ + digits_ + ".ZIP.gz", [&] {
    const std::string plain = dir_.File("plain");
    platform::WriteFileAtomically(plain, archive_);
    const std::string command = "gzip -c '" + plain + "' > '" + dir_.File("gz") + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return platform::ReadFileToString(dir_.File("gz"));
  }());
  const auto got = Download("https://localhost:" + Port("QUILVANE_WEB_GZIP_PORT"));
  ASSERT_TRUE(got.has_value()) << error_;
  EXPECT_TRUE(*got == archive_);
  bool gzipped = false;
  for (const auto& h : http_.response_headers()) {
    gzipped |= h.name == "Content-Encoding" && h.value == "gzip";
  }
  EXPECT_TRUE(gzipped) << "the server did not compress: the test proves nothing";
}

TEST_F(IntegrationHttps, BadPeersFailWithTheirCause) {
  struct Case {
    const char* what;
    std::string dominio;
    bool with_ca;
    std::string error;  // how the DownloadError's text starts
  };
  const std::string https = "https://localhost:";
  const Case cases[] = {
      {"certificate for another name", https + Port("QUILVANE_WEB_OTHER_NAME_PORT"), true,
       "Certificado emitido para outro nome: CN=outro.localhost (emitido por CN=Quilvane Teste "
       "CA) não vale para localhost"},
      {"expired certificate", https + Port("QUILVANE_WEB_EXPIRED_PORT"), true,
       "Certificado vencido ou ainda não válido: CN=localhost"},
      {"self-signed certificate", https + Port("QUILVANE_WEB_SELF_SIGNED_PORT"), true,
       "Certificado não confiável: CN=localhost (emitido por CN=localhost)"},
      {"CA not in CertificadoCA", https + Port("QUILVANE_WEB_TLS_PORT"), false,
       "Certificado não confiável: CN=localhost (emitido por CN=Quilvane Teste CA)"},
      {"TLS 1.0 only", https + Port("QUILVANE_WEB_TLS10_PORT"), true,
       "Falha no protocolo TLS: o servidor não negocia TLS 1.2 ou posterior"},
      {"plain text on the TLS port", https + Port("QUILVANE_WEB_PORT"), true,
       "Falha no protocolo TLS: resposta que não é TLS"},
      {"https to http", https + Port("QUILVANE_WEB_TO_HTTP_PORT"), true,
       "Redirecionamento de https para http recusado: http://localhost:" +
           Port("QUILVANE_WEB_PORT") + "/halvoraquin/quilvane/"},
      {"redirect loop", https + Port("QUILVANE_WEB_LOOP_PORT"), true,
       "Redirecionamentos demais (mais de 5) a partir de https://localhost:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(Download(c.dominio, c.with_ca).has_value());
    EXPECT_TRUE(error_.starts_with(c.error)) << error_;
  }
}

}  // namespace
}  // namespace quilvane::transfer
