// The client's folder and file commands against the real exchange server
// (pyftpdlib) that scripts/servers starts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support/temp_dir.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"

namespace quilvane::transfer {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

TEST(IntegrationFtpFolders, MakesAFolderStoresReadsAndDatesFiles) {
  const std::string port = Env("QUILVANE_FTP_PORT");
  const std::string exchange = Env("QUILVANE_EXCHANGE_DIR");
  ASSERT_TRUE(!port.empty() && !exchange.empty()) << "start the servers with scripts/servers";
  const std::string folder = "ftp-real-folders";
  const std::string local = exchange + "/" + folder;
  std::filesystem::remove_all(local);

  FtpClient ftp;
  ftp.set_host("127.0.0.1");
  ftp.set_port(std::stoi(port));
  ftp.set_username(Env("QUILVANE_FTP_USER").empty() ? "quilvane" : Env("QUILVANE_FTP_USER"));
  ftp.set_password(kFtpPassword);
  ftp.Connect();
  ftp.ChangeDir(kFtpFolder);
  EXPECT_THROW(ftp.ChangeDir(folder), FtpReplyError);
  ftp.MakeDir(folder);
  EXPECT_THROW(ftp.MakeDir(folder), FtpReplyError);  // already there
  ftp.ChangeDir(folder);

  testing::TempDir dir;
  const std::string body = "recibo=1\r\ncgc=12.345.678/0002-71\r\n" + std::string(40000, 'x');
  dir.Write("r.txt", body);
  ftp.Put(dir.File("r.txt"), "12345678000271.txt");
  std::vector<std::string> names;
  ftp.List(names);
  EXPECT_EQ(names, std::vector<std::string>{"12345678000271.txt"});

  bool truncated = true;
  EXPECT_TRUE(ftp.Get("12345678000271.txt", 1 << 20, &truncated) == body);
  EXPECT_FALSE(truncated);
  EXPECT_TRUE(ftp.Get("12345678000271.txt", 100, &truncated) == body.substr(0, 100));
  EXPECT_TRUE(truncated);
  EXPECT_THROW(ftp.Get("nada.txt", 100), FtpReplyError);
  // The connection is still good after a refused RETR.
  const std::string mdtm = ftp.ModifiedTime("12345678000271.txt");
  ASSERT_GE(mdtm.size(), 14u) << mdtm;
  EXPECT_EQ(mdtm.find_first_not_of("0123456789"), mdtm.size() > 14 ? 14u : std::string::npos);
  EXPECT_THROW(ftp.ModifiedTime("nada.txt"), FtpReplyError);
  ftp.Disconnect();
  std::filesystem::remove_all(local);
}

}  // namespace
}  // namespace quilvane::transfer
