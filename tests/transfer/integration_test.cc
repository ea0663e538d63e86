// Against the real exchange server that scripts/servers starts: pyftpdlib
// for the upload, nginx serving the same folder for the download.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/ftp_test_client.h"
#include "tests/transfer/test_resolver.h"
#include "transfer/download.h"
#include "transfer/upload.h"

namespace quilvane::transfer {
namespace {

using testing::UploadFailure;
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

  // Downloads `digits_`.ZIP from `server`: "" with what arrived in `got`, or
  // the DownloadError's text.
  std::string Fetch(HttpClient& http, const ExchangeServer& server, std::string* got) {
    const std::string path = dir_.File(digits_ + ".ZIP");
    try {
      transfer::Download(http, DownloadSource(server, digits_), path);
    } catch (const DownloadError& e) {
      EXPECT_FALSE(platform::FileExists(path));
      return e.what();
    }
    *got = platform::ReadFileToString(path);
    platform::DeleteFile(path);
    return "";
  }
  std::string Fetch(HttpClient& http, std::string* got) { return Fetch(http, server_, got); }

  std::string ftp_port_, web_port_, exchange_;
  std::string digits_;
  ExchangeServer server_;
  testing::TempDir dir_;
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
    const auto error = UploadFailure(ftp, server_, dir_.File(std::string(digits_) + ".zip"));
    ASSERT_FALSE(error) << error->what();
    EXPECT_FALSE(ftp.connected());
    EXPECT_FALSE(platform::FileExists(exchange_ + digits_ + ".zip"));
    ASSERT_TRUE(platform::FileExists(exchange_ + digits_ + ".ZIP"));
    EXPECT_TRUE(platform::ReadFileToString(exchange_ + digits_ + ".ZIP") == today);

    HttpClient http;
    http.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
    std::string got;
    ASSERT_EQ(Fetch(http, &got), "");
    EXPECT_TRUE(got == today);
  }
}

TEST_F(IntegrationTest, DownloadFallsBackToTheBareDomain) {
  platform::WriteFileAtomically(exchange_ + digits_ + ".ZIP", "archive bytes");
  HttpClient http;
  // www.localhost does not resolve here: attempts 1 and 2 fail alike.
  http.set_resolver(testing::LoopbackResolver({"localhost"}));
  std::string got;
  EXPECT_EQ(Fetch(http, &got), "");
  EXPECT_EQ(got, "archive bytes");
}

TEST_F(IntegrationTest, DownloadOfAMissingArchiveFailsWithTheThird404) {
  HttpClient http;
  http.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
  std::string got;
  EXPECT_EQ(Fetch(http, &got), "HTTP/1.1 404 Not Found");
}

TEST_F(IntegrationTest, UnreachableServersAreRefusedConnections) {
  std::uint16_t closed;
  {
    platform::Listener l;
    closed = l.port();
  }
  ExchangeServer down = MakeExchangeServer("127.0.0.1:" + std::to_string(closed), "quilvane",
                                           "localhost:" + std::to_string(closed));
  dir_.Write("a.zip", "x");
  FtpClient ftp;
  const auto error = UploadFailure(ftp, down, dir_.File("a.zip"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->step(), UploadError::Step::kConnect);
  EXPECT_EQ(std::string(error->what()), "Socket Error # 10061\r\nConnection refused.");
  HttpClient http;
  http.set_resolver(testing::LoopbackResolver({"localhost", "www.localhost"}));
  std::string got;
  EXPECT_EQ(Fetch(http, down, &got), "Socket Error # 10061\r\nConnection refused.");
}

TEST_F(IntegrationTest, WrongAccountFailsTheConnectionAndAMissingArchiveTheStore) {
  FtpClient ftp;
  ExchangeServer bad = server_;
  bad.ftp_user = "nobody-here";
  dir_.Write("a.zip", "x");
  const auto refused = UploadFailure(ftp, bad, dir_.File("a.zip"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->step(), UploadError::Step::kConnect);
  const auto missing = UploadFailure(ftp, server_, dir_.File("missing.zip"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->step(), UploadError::Step::kStore);
  EXPECT_TRUE(std::string_view(missing->what())
                  .starts_with("Cannot open file \"" + dir_.File("missing.zip") +
                               "\". No such file or directory"))
      << missing->what();
}

}  // namespace
}  // namespace quilvane::transfer
