#include "transfer/exchange_server.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "transfer/download.h"

namespace quilvane::transfer {
namespace {

TEST(ExchangeServerTest, ParsesHostAndOptionalPort) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"ftp.example.com", true, "ftp.example.com", 21},
      {" 127.0.0.1:2121 ", true, "127.0.0.1", 2121},
      {"h:65535", true, "h", 65535},
      {"h:1", true, "h", 1},
      {"h:0", false, "", 0},
      {"h:65536", false, "", 0},
      {"h:99999999999999999999", false, "", 0},
      {"h:", false, "", 0},
      {"h:21x", false, "", 0},
      {":21", false, "", 0},
      {"", false, "", 0},
      {"a b", false, "", 0},
      {"user@h", false, "", 0},
      {"h/x", false, "", 0},
      {"h:1:2", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = ParseHostPort(c.text, 21);
    ASSERT_EQ(parsed.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(parsed->host, c.host);
      EXPECT_EQ(parsed->port, c.port);
    }
  }
}

TEST(ExchangeServerTest, SettingsOverrideTheBuiltInValues) {
  ExchangeServer defaults = MakeExchangeServer("", "", "");
  EXPECT_EQ(defaults.ftp_host, kDefaultFtpHost);
  EXPECT_EQ(defaults.ftp_port, 21);
  EXPECT_EQ(defaults.web_port, 80);
  ExchangeServer s = MakeExchangeServer("127.0.0.1:2121", "quilvane", "localhost:8080");
  EXPECT_EQ(s.ftp_host, "127.0.0.1");
  EXPECT_EQ(s.ftp_port, 2121);
  EXPECT_EQ(s.ftp_user, "quilvane");
  EXPECT_EQ(s.web_domain, "localhost");
  EXPECT_EQ(s.web_port, 8080);
  EXPECT_THROW(MakeExchangeServer("h:0", "", ""), platform::Error);
  EXPECT_THROW(MakeExchangeServer("", "", "www bad"), platform::Error);
}

// A scheme on ServidorFTP turns TLS on; anything but the three known ones
// (or a bare host, which stays plain FTP as ever) is refused rather than
// guessed, so a typo never sends the password in clear.
TEST(ExchangeServerTest, FtpSchemeChoosesTheProtection) {
  struct Case {
    const char* text;
    FtpSecurity security;
    const char* host;
    int port;
    const char* address;  // as -CHECK shows it
  };
  const Case cases[] = {
      {"ftp.example.com", FtpSecurity::kNone, "ftp.example.com", 21, "ftp.example.com:21"},
      {"ftp://h:2121", FtpSecurity::kNone, "h", 2121, "h:2121"},
      {"ftpes://h", FtpSecurity::kExplicit, "h", 21, "ftpes://h:21"},
      {" FTPES://127.0.0.1:43521/ ", FtpSecurity::kExplicit, "127.0.0.1", 43521,
       "ftpes://127.0.0.1:43521"},
      {"ftps://h", FtpSecurity::kImplicit, "h", 990, "ftps://h:990"},
      {"Ftps://h:9990", FtpSecurity::kImplicit, "h", 9990, "ftps://h:9990"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ExchangeServer s = MakeExchangeServer(c.text, "", "");
    EXPECT_EQ(s.ftp_security, c.security);
    EXPECT_EQ(s.ftp_host, c.host);
    EXPECT_EQ(s.ftp_port, c.port);
    EXPECT_EQ(FtpAddress(s), c.address);
  }
  for (const char* bad : {"sftp://h", "http://h", "ftpes://", "ftpes:// h", "ftps://h:0",
                          "ftpes://user@h", "ftps://h/quilvane", "ftpes:/h", "ftpes://h//"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(MakeExchangeServer(bad, "", ""), platform::Error);
  }
}

// SenhaFTP replaces the built-in password; a line break in it would end
// the PASS command and start another, so it is refused, and the message
// never repeats the value (it goes to the log).
TEST(ExchangeServerTest, SitePasswordReplacesTheBuiltInOne) {
  ExchangeServer s;
  EXPECT_EQ(s.ftp_password, kFtpPassword);
  SetFtpPassword(s, "");
  EXPECT_EQ(s.ftp_password, kFtpPassword);
  SetFtpPassword(s, "s3nh@ da filial");
  EXPECT_EQ(s.ftp_password, "s3nh@ da filial");
  try {
    SetFtpPassword(s, "segredo\r\nDELE 1.ZIP");
    ADD_FAILURE() << "a password with a line break was taken";
  } catch (const platform::Error& e) {
    EXPECT_STREQ(e.what(), "Valor inválido em SenhaFTP");
  }
  EXPECT_EQ(s.ftp_password, "s3nh@ da filial");
}

TEST(ExchangeServerTest, DownloadAddressesCarryANonDefaultPort) {
  ExchangeServer s;
  s.web_domain = "quilvane.example";
  EXPECT_EQ(DownloadSource(s, "12345678000190"),
            "http://www.quilvane.example/halvoraquin/quilvane/12345678000190.ZIP");
  s.web_domain = "localhost";
  s.web_port = 8080;
  std::string source = DownloadSource(s, "123");
  EXPECT_EQ(source, "http://www.localhost:8080/halvoraquin/quilvane/123.ZIP");
  EXPECT_EQ(SecondAttemptAddress(source), "localhost:8080/halvoraquin/quilvane/123.ZIP");
  EXPECT_EQ(ThirdAttemptAddress(source), "http://localhost:8080/halvoraquin/quilvane/123.ZIP");
  EXPECT_EQ(ThirdAttemptAddress("HTTP://WWW.D/x/WwW.y"), "HTTP://D/x/y");
  EXPECT_EQ(SecondAttemptAddress("HTTP://WWW.D/x"), "D/x");
}

// A scheme on DominioWeb chooses https or the plain client that follows
// redirects; the three addresses keep their order and their fallbacks.
TEST(ExchangeServerTest, WebSchemeChoosesTheDownloadAddresses) {
  struct Case {
    const char* text;
    WebScheme scheme;
    const char* first;
    const char* second;
    const char* third;
  };
  const Case cases[] = {
      {"d.example", WebScheme::kBare, "http://www.d.example/halvoraquin/quilvane/N.ZIP",
       "d.example/halvoraquin/quilvane/N.ZIP", "http://d.example/halvoraquin/quilvane/N.ZIP"},
      {"http://d.example:8080/", WebScheme::kHttp,
       "http://www.d.example:8080/halvoraquin/quilvane/N.ZIP",
       "d.example:8080/halvoraquin/quilvane/N.ZIP",
       "http://d.example:8080/halvoraquin/quilvane/N.ZIP"},
      {"https://d.example", WebScheme::kHttps, "https://www.d.example/halvoraquin/quilvane/N.ZIP",
       "d.example/halvoraquin/quilvane/N.ZIP", "https://d.example/halvoraquin/quilvane/N.ZIP"},
      {" HTTPS://localhost:43450 ", WebScheme::kHttps,
       "https://www.localhost:43450/halvoraquin/quilvane/N.ZIP",
       "localhost:43450/halvoraquin/quilvane/N.ZIP",
       "https://localhost:43450/halvoraquin/quilvane/N.ZIP"},
      {"https://d.example:80", WebScheme::kHttps,
       "https://www.d.example:80/halvoraquin/quilvane/N.ZIP",
       "d.example:80/halvoraquin/quilvane/N.ZIP",
       "https://d.example:80/halvoraquin/quilvane/N.ZIP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ExchangeServer s = MakeExchangeServer("", "", c.text);
    EXPECT_EQ(s.web_scheme, c.scheme);
    const std::string source = DownloadSource(s, "N");
    EXPECT_EQ(source, c.first);
    EXPECT_EQ(SecondAttemptAddress(source), c.second);
    EXPECT_EQ(ThirdAttemptAddress(source), c.third);
  }
  for (const char* bad : {"ftp://d", "https://", "https:// d", "https://d:0", "https://u@d",
                          "https://d/halvoraquin", "https:/d", "https://d//"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(MakeExchangeServer("", "", bad), platform::Error);
  }
}

}  // namespace
}  // namespace quilvane::transfer
