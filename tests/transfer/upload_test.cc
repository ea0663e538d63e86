// Guards the upload as the head office runs it: the FTP conversation, the
// old copy's deletion, and what reaches the log.
#include "transfer/upload.h"

#include <gtest/gtest.h>

#include <chrono>

#include "sync/exchange_steps.h"
#include "sync/log.h"
#include "tests/support/expect_error.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/transfer/fakes/scripted_peer.h"
#include "tests/transfer/test_resolver.h"

namespace quilvane::transfer {
namespace {

using sync::Upload;
using testing::PeerConnection;
using testing::ScriptedPeer;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

TEST(UploadNameTest, UpperCasesOnlyAsciiLettersOfTheFileName) {
  EXPECT_EQ(RemoteArchiveName("/opt/quilvane/12345678000190.zip"), "12345678000190.ZIP");
  EXPECT_EQ(RemoteArchiveName("C:\\Quilvane\\abc.zip"), "ABC.ZIP");
  EXPECT_EQ(RemoteArchiveName("D:preço.zip"), "PREçO.ZIP");
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive_ = dir_.File("12345678000190.ZIP");
    dir_.Write("12345678000190.ZIP", "PK archive bytes");
    FtpTimeouts t;
    t.idle = 500ms;
    ftp_.set_timeouts(t);
    ftp_.set_resolver(testing::LoopbackResolver({"ftp.test"}));
    server_.ftp_host = "ftp.test";
  }

  // The whole normal conversation; `listing` is the folder's NLST data.
  void ServeDay(PeerConnection& c, const std::string& listing, std::string* stored) {
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("331 pw\r\n");
    c.ReadLine();
    c.Send("230 ok\r\n");
    c.ReadLine();
    c.Send("211-Features:\r\n MDTM\r\n211 End\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.ReadLine();
    c.Send("215 UNIX\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.ReadLine();  // CWD
    c.Send("250 ok\r\n");
    c.ReadLine();  // TYPE A
    c.Send("200 ok\r\n");
    c.ReadLine();  // PASV
    {
      platform::Listener data;
      c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data.port()) + "\r\n");
      auto conn = data.Accept(3000ms);
      c.ReadLine();  // NLST
      c.Send("150 listing\r\n");
      conn.WriteAll(listing);
      conn.Close();
      c.Send("226 done\r\n");
    }
    c.ReadLine();  // TYPE I
    c.Send("200 ok\r\n");
    std::string line = c.ReadLine();
    if (line.starts_with("DELE")) {
      c.Send("250 deleted\r\n");
      line = c.ReadLine();
    }
    platform::Listener data;
    c.Send("227 Entering Passive Mode " + ScriptedPeer::PasvField(data.port()) + "\r\n");
    c.ReadLine();  // STOR
    auto conn = data.Accept(3000ms);
    c.Send("150 go\r\n");
    char buf[4096];
    for (;;) {
      size_t n = conn.Read(std::span<char>(buf, sizeof buf));
      if (n == 0) break;
      stored->append(buf, n);
    }
    c.Send("226 stored\r\n");
    c.Expect("QUIT");
    c.Send("221 bye\r\n");
  }

  testing::TempDir dir_;
  std::string archive_;
  FtpClient ftp_;
  ExchangeServer server_;
};

TEST_F(UploadTest, DeletesTheOldCopyUnderItsListedNameThenStores) {
  struct Case {
    const char* name;
    std::string listing;
    std::string dele;  // empty: no DELE
  };
  const Case cases[] = {
      {"upper-case copy", "a.txt\r\n12345678000190.ZIP\r\n", "DELE 12345678000190.ZIP"},
      {"lower-case copy", "12345678000190.zip\r\n", "DELE 12345678000190.zip"},
      {"no final break", "x\r\n12345678000190.ZIP", "DELE 12345678000190.ZIP"},
      {"near names only",
       "X12345678000190.ZIP\r\n12345678000190.ZIP.bak\r\n 12345678000190.ZIP\r\n", ""},
      {"empty folder", "", ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::string stored;
    ScriptedPeer peer([&](PeerConnection& c, int) { ServeDay(c, tc.listing, &stored); });
    server_.ftp_port = peer.port();
    sync::Log log(dir_.path(), platform::Env::Default());
    EXPECT_TRUE(Upload(ftp_, server_, archive_, log));
    peer.Join();
    EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
    EXPECT_EQ(stored, "PK archive bytes");
    Lines want = {"CWD quilvane", "TYPE A", "PASV", "NLST", "TYPE I"};
    if (!tc.dele.empty()) want.push_back(tc.dele);
    want.insert(want.end(), {"PASV", "STOR 12345678000190.ZIP", "QUIT"});
    Lines t = peer.transcript();
    Lines tail(t.begin() + 7, t.end());
    EXPECT_EQ(tail, want);
    EXPECT_EQ(testing::LogText(dir_.path()), "");
  }
}

TEST_F(UploadTest, CwdRefusedPassesToTheCallerAfterQuit) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.Send("220 ready\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("230 ok\r\n");
    c.ReadLine();
    c.Send("500 no\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.ReadLine();
    c.Send("215 UNIX\r\n");
    c.ReadLine();
    c.Send("200 ok\r\n");
    c.Expect("CWD quilvane");
    c.Send("550 quilvane: No such file or directory\r\n");
    c.Expect("QUIT");
    c.Send("221 bye\r\n");
  });
  server_.ftp_port = peer.port();
  sync::Log log(dir_.path(), platform::Env::Default());
  EXPECT_TRUE(testing::ThrowsWithText<FtpReplyError>([&] { Upload(ftp_, server_, archive_, log); },
                                                     "quilvane: No such file or directory\r\n"));
  EXPECT_FALSE(ftp_.connected());
  peer.Join();
  EXPECT_TRUE(peer.failures().empty()) << peer.failures().front();
  EXPECT_EQ(testing::LogText(dir_.path()), "");
}

TEST_F(UploadTest, SilentServerIsLoggedWithinTheLimit) {
  ScriptedPeer peer([](PeerConnection& c, int) {
    c.Send("220 ready\r\n");
    c.ReadLine();  // HOST, never answered
    c.ClientClosed(3000ms);
  });
  server_.ftp_port = peer.port();
  sync::Log log(dir_.path(), platform::Env::Default());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Upload(ftp_, server_, archive_, log));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(testing::Count(testing::LogText(dir_.path()),
                           " - Falha ao conectar no FTP: Read timed out.\r\n"),
            1);
}

TEST_F(UploadTest, UnreachableServerIsLoggedAndFalse) {
  {
    platform::Listener l;
    server_.ftp_port = l.port();
  }
  sync::Log log(dir_.path(), platform::Env::Default());
  EXPECT_FALSE(Upload(ftp_, server_, archive_, log));
  std::string text = testing::LogText(dir_.path());
  EXPECT_NE(text.find(" - Falha ao conectar no FTP: Socket Error # 10061\r\nConnection refused."),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace quilvane::transfer
