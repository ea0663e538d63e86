// ConectarBanco against the real Firebird server (label integration): the
// connection "tolmarc.ini" describes, and the one log line an operator gets
// when it cannot be made. Faults come from a TCP proxy on another loopback
// address, never from a mock.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/fbclient.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "sync/log.h"
#include "sync/site_database.h"
#include "tests/db/tcp_proxy.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

using quilvane::testing::FirebirdDb;
using quilvane::testing::FirebirdServer;
using quilvane::testing::TcpProxy;
using quilvane::testing::TempDir;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string LogText(const TempDir& dir) {
  if (!platform::FileExists(dir.File("Quilvane.log"))) return {};
  return platform::AnsiToUtf8(dir.Read("Quilvane.log"));  // a new log is in the ANSI code page
}

// Entries of the log: a message of several lines is stamped once, so count
// the stamps ("DD/MM/YYYY HH:mm:ss - ") at line starts.
int LogEntries(const TempDir& dir) {
  const std::string text = LogText(dir);
  int n = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find("\r\n", start);
    const std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.size() >= 22 && line[2] == '/' && line[5] == '/' && line[10] == ' ' &&
        line[13] == ':' && line.compare(19, 3, " - ") == 0) {
      ++n;
    }
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return n;
}

class FirebirdConectarBanco : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILVANE_REQUIRE_FIREBIRD(server);
    server_ = server;
    db_ = std::make_unique<FirebirdDb>(server_);
  }
  void TearDown() override {
    db::Database::SetClientLibraryNamesForTesting(db::FbClient::DefaultLibraryNames());
  }

  FirebirdServer server_;
  std::unique_ptr<FirebirdDb> db_;
  TempDir dir_;
};

TEST_F(FirebirdConectarBanco, ConnectsWithTolmarcIni) {
  db_->WriteTolmarcIni(dir_.path());
  SiteDatabase c{platform::Env::Default()};
  Log log(dir_.path(), platform::Env::Default());
  ASSERT_TRUE(ConectarBanco(c, dir_.path(), log));
  EXPECT_TRUE(c.Connvelstrand.Connected());
  EXPECT_EQ(c.Connvelstrand.Param("Port"), "3050");
  EXPECT_EQ(c.Connvelstrand.Param("User_Name"), "USUARIO");
  EXPECT_EQ(c.Connvelstrand.Param("Password"), "mirvex");
  EXPECT_EQ(c.Connvelstrand.AttachString(), server_.host + "/3050:" + db_->path());
  EXPECT_EQ(LogEntries(dir_), 0) << LogText(dir_);
  // Connecting again starts from a fresh attachment.
  ASSERT_TRUE(ConectarBanco(c, dir_.path(), log));
  c.TBPadrao.Open();
  EXPECT_TRUE(c.TBPadrao.Eof());
}

// Whatever keeps the database out of reach, ConectarBanco returns false and
// the log holds one line: the step's text, then the database layer's own
// message. Retries and their pauses belong to the connection (db tests).
TEST_F(FirebirdConectarBanco, FailureIsOneLineAfterTheStamp) {
  const auto ini = [](std::string text) {
    return [text](TempDir& dir) { dir.Write("tolmarc.ini", text); };
  };
  struct Case {
    std::string name{};
    std::function<void(TempDir&)> site{};  // writes the site's folder
    std::string attach{};                  // "{dir}" stands for the site's folder
    std::optional<bool> connects = false;  // nullopt: the client decides
    int attempts = 1;                      // 0: not checked
    std::string says{};                    // how the database's message starts
    std::string mentions{};                // further text the line holds
    std::vector<std::string> libraries{};  // client library names; empty: the usual
    bool through_dropping_proxy = false;   // tolmarc.ini names such a proxy
  };
  const std::vector<Case> cases = {
      {.name = "wrong path",
       .site = ini("[Tolmarc]\r\nServidor=" + server_.host + "\r\nCaminho=" + server_.dir +
                   "/nope.fdb\r\n"),
       .attach = server_.host + "/3050:" + server_.dir + "/nope.fdb"},
      {.name = "empty Caminho",
       .site = ini("[Tolmarc]\r\nServidor=" + server_.host + "\r\nCaminho=\r\n"),
       .attach = server_.host + "/3050:"},
      // Without a host the attach string starts with the slash. Whether the
      // client then reaches a local server is the client's affair.
      {.name = "empty Servidor",
       .site = ini("[Tolmarc]\r\nServidor=\r\nCaminho=" + db_->path() + "\r\n"),
       .attach = "/3050:" + db_->path(),
       .connects = std::nullopt},
      {.name = "no tolmarc.ini",
       .site = [](TempDir&) {},
       .attach = "localhost/3050:{dir}TOLMARC.FDB",
       .attempts = 0,
       .mentions = "TOLMARC.FDB"},
      {.name = "client library that does not load",
       .site = [this](TempDir& dir) { db_->WriteTolmarcIni(dir.path()); },
       .attach = server_.host + "/3050:" + db_->path(),
       .attempts = 0,
       .says = "Cannot load vendor library [libquilvane-none.so.2 or libquilvane-none.so]. ",
       .libraries = {"libquilvane-none.so.2", "libquilvane-none.so"}},
      // Nothing listens there: the proxies take 127.0.0.2 to 127.0.0.249,
      // the server 127.0.0.1.
      {.name = "refused",
       .site = [this](TempDir& dir) { db_->WriteTolmarcIni(dir.path(), "127.0.0.254"); },
       .attach = "127.0.0.254/3050:" + db_->path(),
       .attempts = 4},
      {.name = "server that drops every connection", .attempts = 4, .through_dropping_proxy = true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    std::unique_ptr<TcpProxy> proxy;
    std::string attach = k.attach;
    if (k.through_dropping_proxy) {
      proxy = std::make_unique<TcpProxy>(3050, server_.host, std::stoi(server_.port));
      proxy->set_mode(TcpProxy::Mode::kDropSecondRequest);
      db_->WriteTolmarcIni(dir.path(), proxy->host());
      attach = proxy->host() + "/3050:" + db_->path();
    } else {
      k.site(dir);
    }
    if (const auto at = attach.find("{dir}"); at != std::string::npos) {
      attach.replace(at, 5, dir.path());
    }
    if (!k.libraries.empty()) {
      db::Database::UnloadClientLibraryForTesting();
      db::Database::SetClientLibraryNamesForTesting(k.libraries);
    }
    SiteDatabase c{platform::Env::Default()};
    c.Connvelstrand.set_retry_pause(std::chrono::milliseconds(100));
    Log log(dir.path(), platform::Env::Default());
    const auto start = Clock::now();
    const bool connected = ConectarBanco(c, dir.path(), log);
    db::Database::SetClientLibraryNamesForTesting(db::FbClient::DefaultLibraryNames());
    if (k.connects) {
      EXPECT_EQ(connected, *k.connects);
    }
    EXPECT_EQ(c.Connvelstrand.Connected(), connected);
    EXPECT_EQ(c.Connvelstrand.AttachString(), attach);
    // An empty Servidor leaves the host out altogether.
    const std::string host = attach.substr(0, attach.find('/'));
    if (host.empty()) {
      EXPECT_FALSE(c.Connvelstrand.Param("Server"));
    } else {
      EXPECT_EQ(c.Connvelstrand.Param("Server"), host);
    }
    if (k.attempts != 0) {
      EXPECT_EQ(c.Connvelstrand.attach_attempts(), k.attempts);
    }
    if (k.attempts == 1) {
      EXPECT_LT(Seconds(start), 3.0);  // no retry pauses
    }
    if (proxy) {
      EXPECT_EQ(proxy->accepted(), 4);
    }
    const std::string text = LogText(dir);
    EXPECT_EQ(LogEntries(dir), connected ? 0 : 1) << text;
    if (!connected) {
      EXPECT_EQ(text.find(" - Falha na conexão do banco de dados: " + k.says), 19u) << text;
      EXPECT_NE(text.find(k.mentions), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace quilvane::sync
