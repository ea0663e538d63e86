// Against the real exchange server that scripts/servers starts: pyftpdlib
// for the upload, nginx serving the same folder for the download.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/file.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/support/log_reader.h"
#include "tests/transfer/test_resolver.h"
#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "transfer/download.h"
#include "transfer/upload.h"

namespace quilvane::transfer {
namespace {

using sync::DownloadFile;
using sync::Upload;
using testing::Count;
using testing::LogText;
using namespace std::chrono_literals;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class IntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ftp_port_ = Env("QUILVANE_FTP_PORT");
    web_port_ = Env("QUILVANE_WEB_PORT");
    exchange_ = Env("QUILVANE_EXCHANGE_DIR");
    ASSERT_TRUE(!ftp_port_.empty() && !web_port_.empty() && !exchange_.empty())
        << "QUILVANE_FTP_PORT, QUILVANE_WEB_PORT and QUILVANE_EXCHANGE_DIR are not set: "
           "run eval \"$(scripts/servers start)\" first";
    if (!exchange_.ends_with("/")) exchange_ += "/";
    // Each test its own archive name: ctest runs them in parallel against
    // the one exchange folder.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string digits =
        std::to_string(std::hash<std::string>()(info->name()) % 100000000000000ull);
    digits_ = std::string(14 - digits.size(), '0') + digits;
    server_ =
        MakeExchangeServer("127.0.0.1:" + ftp_port_,
                           Env("QUILVANE_FTP_USER").empty() ? "quilvane" : Env("QUILVANE_FTP_USER"),
                           "localhost:" + web_port_);
    Clean();
  }
  void TearDown() override { Clean(); }

  void Clean() {
    for (const std::string& name : {digits_ + ".ZIP", digits_ + ".zip"}) {
      if (!exchange_.empty() && !digits_.empty()) platform::DeleteFile(exchange_ + name);
    }
  }

  bool Download(HttpClient& http, std::string* got) {
    return DownloadFile(
        http, DownloadSource(server_, digits_), std::string(digits_) + ".ZIP", true, dir_.path(),
        [&](const std::string& path) {
          *got = platform::ReadFileToString(path);
          return true;
        },
        log_);
  }

  std::string ftp_port_, web_port_, exchange_;
  std::string digits_;
  ExchangeServer server_;
  testing::TempDir dir_;
  sync::Log log_{dir_.path(), platform::Env::Default()};
};

std::string ArchiveBytes(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed) >> 3);
  return s;
}

TEST_F(IntegrationTest, UploadReplacesYesterdaysCopyAndTheBranchDownloadsIt) {
  struct Case {
    const char* name;
    const char* old_name;
  };
  for (const Case& c : {Case{"upper-case copy", ".ZIP"}, Case{"lower-case copy", ".zip"},
                        Case{"no copy", nullptr}}) {
    SCOPED_TRACE(c.name);
    Clean();
    if (c.old_name) {
      platform::WriteFileAtomically(exchange_ + digits_ + c.old_name, "yesterday");
    }
    std::string today = ArchiveBytes(300 * 1024 + 3, c.old_name ? c.old_name[1] : 7);
    dir_.Write(std::string(digits_) + ".zip", today);
    FtpClient ftp;
    ASSERT_TRUE(Upload(ftp, server_, dir_.File(std::string(digits_) + ".zip"), log_))
        << LogText(dir_.path());
    EXPECT_FALSE(ftp.connected());
    EXPECT_FALSE(platform::FileExists(exchange_ + digits_ + ".zip"));
    ASSERT_TRUE(platform::FileExists(exchange_ + digits_ + ".ZIP"));
    EXPECT_TRUE(platform::ReadFileToString(exchange_ + digits_ + ".ZIP") == today);

    HttpClient http;
    http.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
    std::string got;
    ASSERT_TRUE(Download(http, &got)) << LogText(dir_.path());
    EXPECT_TRUE(got == today);
  }
  EXPECT_EQ(Count(LogText(dir_.path()), "Falha"), 0) << LogText(dir_.path());
}

TEST_F(IntegrationTest, DownloadFallsBackToTheBareDomain) {
  platform::WriteFileAtomically(exchange_ + digits_ + ".ZIP", "archive bytes");
  HttpClient http;
  // www.localhost does not resolve here: attempts 1 and 2 fail alike.
  http.set_resolver(testing::LoopbackResolver({"localhost"}));
  std::string got;
  EXPECT_TRUE(Download(http, &got));
  EXPECT_EQ(got, "archive bytes");
  std::string log = LogText(dir_.path());
  EXPECT_EQ(Count(log, "Falha"), 0);
  EXPECT_EQ(Count(log, " - O arquivo baixado existe!!!\r\n"), 1);
  EXPECT_EQ(Count(log, " - Descompactou o arquivo!!!\r\n"), 1);
}

TEST_F(IntegrationTest, DownloadOfAMissingArchiveLogsTheThird404) {
  HttpClient http;
  http.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
  std::string got;
  EXPECT_FALSE(Download(http, &got));
  std::string log = LogText(dir_.path());
  EXPECT_EQ(Count(log, " - Falha ao realizar o download do arquivo: HTTP/1.1 404 Not Found\r\n"), 1)
      << log;
  EXPECT_EQ(Count(log, "existe"), 0);
}

TEST_F(IntegrationTest, UnreachableServersAreLogged) {
  std::uint16_t closed;
  {
    platform::Listener l;
    closed = l.port();
  }
  ExchangeServer down = MakeExchangeServer("127.0.0.1:" + std::to_string(closed), "quilvane",
                                           "localhost:" + std::to_string(closed));
  dir_.Write("a.zip", "x");
  FtpClient ftp;
  EXPECT_FALSE(Upload(ftp, down, dir_.File("a.zip"), log_));
  HttpClient http;
  http.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
  EXPECT_FALSE(DownloadFile(
      http, DownloadSource(down, digits_), "a.ZIP", true, dir_.path(),
      [](const std::string&) { return true; }, log_));
  std::string log = LogText(dir_.path());
  EXPECT_EQ(
      Count(log, " - Falha ao conectar no FTP: Socket Error # 10061\r\nConnection refused.\r\n"), 1)
      << log;
  EXPECT_EQ(Count(log,
                  " - Falha ao realizar o download do arquivo: Socket Error # 10061\r\n"
                  "Connection refused.\r\n"),
            1)
      << log;
}

TEST_F(IntegrationTest, WrongPasswordAndMissingArchiveAreLogged) {
  FtpClient ftp;
  ExchangeServer bad = server_;
  bad.ftp_user = "nobody-here";
  dir_.Write("a.zip", "x");
  EXPECT_FALSE(Upload(ftp, bad, dir_.File("a.zip"), log_));
  EXPECT_FALSE(Upload(ftp, server_, dir_.File("missing.zip"), log_));
  std::string log = LogText(dir_.path());
  EXPECT_EQ(Count(log, " - Falha ao conectar no FTP: "), 1) << log;
  EXPECT_EQ(Count(log, " - Falha ao realizar o upload do arquivo: Cannot open file \"" +
                           dir_.File("missing.zip") + "\". No such file or directory"),
            1)
      << log;
}

}  // namespace
}  // namespace quilvane::transfer
