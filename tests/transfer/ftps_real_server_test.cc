// FTP over TLS against the real vsftpd that scripts/servers starts: it
// demands TLS for the login and every data connection, and a resumed
// session on each data connection (require_ssl_reuse), as common hosting
// does. Both schemes, every command the system uses, and the peers that
// must fail with nothing stored.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/tls.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/ftp_test_client.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/upload.h"

namespace quilvane::transfer {
namespace {

using namespace std::chrono_literals;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class IntegrationFtps : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = Env("QUILVANE_FTPS_PORT");
    implicit_port_ = Env("QUILVANE_FTPS_IMPLICIT_PORT");
    plain_port_ = Env("QUILVANE_FTP_PORT");
    ca_ = Env("QUILVANE_FTPS_CA");
    exchange_ = Env("QUILVANE_EXCHANGE_DIR");
    ASSERT_TRUE(!port_.empty() && !implicit_port_.empty() && !plain_port_.empty() && !ca_.empty() &&
                !exchange_.empty())
        << "QUILVANE_FTPS_* are not set: run eval \"$(scripts/servers start)\" first";
    exchange_ += "/";
    // Each test its own names: ctest runs them in parallel on one folder.
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string digits = std::to_string(std::hash<std::string>()(name) % 100000000000000ull);
    digits_ = std::string(14 - digits.size(), '0') + digits;
    Clean();
  }
  void TearDown() override { Clean(); }
  void Clean() { std::filesystem::remove(exchange_ + digits_ + ".ZIP"); }

  // The exchange server as a site with SenhaFTP and CertificadoCA sees it.
  ExchangeServer Server(const std::string& servidor_ftp) {
    ExchangeServer server = MakeExchangeServer(servidor_ftp, Env("QUILVANE_FTPS_USER"), "");
    SetFtpPassword(server, Env("QUILVANE_FTPS_PASSWORD"));
    server.tls.ca_file = ca_;
    server.tls.use_system_store = false;
    return server;
  }

  static void Prepare(FtpClient& ftp) {
    FtpTimeouts timeouts;
    timeouts.idle = 5000ms;
    ftp.set_timeouts(timeouts);
    ftp.set_resolver(testing::LoopbackResolver({"localhost", "outro.localhost"}));
  }

  std::string Archive(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) >> 3);
    dir_.Write(digits_ + ".zip", bytes);
    return bytes;
  }

  std::string port_, implicit_port_, plain_port_, ca_, exchange_, digits_;
  testing::TempDir dir_;
};

TEST_F(IntegrationFtps, UploadReplacesYesterdaysCopyOverBothSchemes) {
  for (const std::string& servidor :
       {"ftpes://localhost:" + port_, "ftps://127.0.0.1:" + implicit_port_}) {
    SCOPED_TRACE(servidor);
    platform::WriteFileAtomically(exchange_ + digits_ + ".ZIP", "yesterday");
    // Larger than any buffer on the way: several TLS records, several reads.
    const std::string today = Archive(3 * 1024 * 1024 + 17, servidor.size());
    FtpClient ftp;
    Prepare(ftp);
    const auto error = testing::UploadFailure(ftp, Server(servidor), dir_.File(digits_ + ".zip"));
    ASSERT_FALSE(error) << error->what();
    EXPECT_FALSE(ftp.connected());
    EXPECT_TRUE(platform::ReadFileToString(exchange_ + digits_ + ".ZIP") == today);
  }
}

// The receipts' and -STATUS's commands: every data connection protected
// and resumed (vsftpd refuses any other), a bounded read that stops early
// still ending cleanly, and the certificate the control connection showed.
TEST_F(IntegrationFtps, FoldersListingsReadsAndDates) {
  const std::string folder = "ftps-real-" + digits_;
  std::filesystem::remove_all(exchange_ + folder);
  FtpClient ftp;
  Prepare(ftp);
  ConfigureForExchange(ftp, Server("ftpes://localhost:" + port_));
  ftp.Connect();
  const auto peer = ftp.tls_peer_info();
  ASSERT_TRUE(peer.has_value());
  EXPECT_NE(peer->protocol.find("TLS"), std::string::npos) << peer->protocol;
  EXPECT_NE(peer->subject.find("localhost"), std::string::npos) << peer->subject;
  EXPECT_GT(peer->not_after_unix, 0);
  ftp.ChangeDir(kFtpFolder);
  ftp.MakeDir(folder);
  ftp.ChangeDir(folder);
  const std::string body = "recibo=1\r\n" + std::string(200000, 'x');
  dir_.Write("r.txt", body);
  ftp.Put(dir_.File("r.txt"), "12345678000271.txt");
  std::vector<std::string> names;
  ftp.List(names);
  EXPECT_EQ(names, std::vector<std::string>{"12345678000271.txt"});
  bool truncated = true;
  EXPECT_TRUE(ftp.Get("12345678000271.txt", 1 << 20, &truncated) == body);
  EXPECT_FALSE(truncated);
  EXPECT_TRUE(ftp.Get("12345678000271.txt", 100, &truncated) == body.substr(0, 100));
  EXPECT_TRUE(truncated);
  EXPECT_THROW(ftp.Get("nada.txt", 100), FtpReplyError);
  EXPECT_GE(ftp.ModifiedTime("12345678000271.txt").size(), 14u);
  ftp.Delete("12345678000271.txt");
  ftp.List(names);
  EXPECT_TRUE(names.empty());
  ftp.Disconnect();
  std::filesystem::remove_all(exchange_ + folder);
}

// Peers a site must not trust, each a clear log line, and nothing stored;
// a TLS failure names its cause.
TEST_F(IntegrationFtps, UntrustedPeersStoreNothing) {
  using platform::TlsFailure;
  struct Case {
    const char* name;
    std::string servidor;
    bool trust_test_ca;
    std::string password;
    std::optional<TlsFailure> tls_failure;
    const char* error;  // how the connection error starts
  };
  const Case cases[] = {
      {"certificate_for_another_name", "ftpes://outro.localhost:" + port_, true, "",
       TlsFailure::kNameMismatch, ""},
      {"ca_not_trusted", "ftps://localhost:" + implicit_port_, false, "", TlsFailure::kNotTrusted,
       ""},
      {"plain_text_on_the_tls_port", "ftps://127.0.0.1:" + plain_port_, true, "",
       TlsFailure::kProtocol, ""},
      {"auth_tls_refused", "ftpes://127.0.0.1:" + plain_port_, true, "", std::nullopt,
       "O servidor FTP recusou AUTH TLS"},
      {"wrong_password", "ftpes://localhost:" + port_, true, "outra-senha", std::nullopt,
       "Login incorrect."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Archive(4096, 1);
    ExchangeServer server = Server(c.servidor);
    if (!c.trust_test_ca) server.tls = {};
    if (!c.password.empty()) server.ftp_password = c.password;
    FtpClient ftp;
    Prepare(ftp);
    const auto error = testing::UploadFailure(ftp, server, dir_.File(digits_ + ".zip"));
    EXPECT_FALSE(platform::FileExists(exchange_ + digits_ + ".ZIP"));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->step(), UploadError::Step::kConnect);
    const std::string text = error->what();
    EXPECT_TRUE(text.starts_with(c.error)) << text;
    if (!c.tls_failure) continue;
    try {
      ftp.Connect();
      ADD_FAILURE() << "connected";
    } catch (const platform::TlsError& e) {
      EXPECT_EQ(*c.tls_failure, e.failure()) << e.what();
      EXPECT_NE(text.find(e.what()), std::string::npos) << text;
    }
    ftp.Disconnect();
  }
}

}  // namespace
}  // namespace quilvane::transfer
