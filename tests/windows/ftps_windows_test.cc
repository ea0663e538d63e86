// The FTP client over the system's TLS (SChannel), run under Wine by
// scripts/test-windows-ftps against the loopback vsftpd that scripts/servers
// starts, with the test CA as CertificadoCA. Wine's SChannel keeps no
// session cache, so the listener used here does not demand session reuse.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/file.h"
#include "platform/tls.h"
#include "transfer/upload.h"

namespace quilvane::transfer {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class WindowsFtps : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = Env("QUILVANE_FTPS_NO_REUSE_PORT");
    exchange_ = Env("QUILVANE_WINE_EXCHANGE_DIR");
    ca_ = Env("QUILVANE_WINE_FTPS_CA");
    ASSERT_TRUE(!port_.empty() && !exchange_.empty() && !ca_.empty())
        << "run by scripts/test-windows-ftps with the servers started";
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    local_ = std::string(dir) + "11222333000172.zip";
    remote_ = exchange_ + "\\11222333000172.ZIP";
    DeleteFileA(remote_.c_str());
  }
  void TearDown() override {
    DeleteFileA(local_.c_str());
    DeleteFileA(remote_.c_str());
  }

  ExchangeServer Server(bool trust_test_ca) {
    ExchangeServer server =
        MakeExchangeServer("ftpes://localhost:" + port_, Env("QUILVANE_FTPS_USER"), "");
    SetFtpPassword(server, Env("QUILVANE_FTPS_PASSWORD"));
    if (trust_test_ca) server.tls.ca_file = ca_;
    return server;
  }

  std::string port_, exchange_, ca_, local_, remote_;
};

TEST_F(WindowsFtps, UploadsOverExplicitTlsTrustingCertificadoCa) {
  std::string bytes(3 * 1024 * 1024 + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131 + 7) >> 3);
  platform::WriteFileAtomically(local_, bytes);
  FtpClient ftp;
  Upload(ftp, Server(true), local_);
  EXPECT_TRUE(platform::ReadFileToString(remote_) == bytes);

  ConfigureForExchange(ftp, Server(true));
  ftp.Connect();
  const auto peer = ftp.tls_peer_info();
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->protocol.rfind("TLSv1.", 0), 0u) << peer->protocol;
  EXPECT_NE(peer->subject.find("localhost"), std::string::npos) << peer->subject;
  ftp.Disconnect();
}

TEST_F(WindowsFtps, UntrustedServerGetsNothing) {
  platform::WriteFileAtomically(local_, "PK archive bytes");
  FtpClient ftp;
  try {
    Upload(ftp, Server(false), local_);
    ADD_FAILURE() << "stored on an untrusted server";
  } catch (const UploadError& e) {
    EXPECT_EQ(e.step(), UploadError::Step::kConnect) << e.what();
  }
  EXPECT_FALSE(platform::FileExists(remote_));
  ConfigureForExchange(ftp, Server(false));
  try {
    ftp.Connect();
    ADD_FAILURE() << "connected";
  } catch (const platform::TlsError& e) {
    EXPECT_EQ(e.failure(), platform::TlsFailure::kNotTrusted) << e.what();
  }
  ftp.Disconnect();
}

}  // namespace
}  // namespace quilvane::transfer
