#pragma once

// The fixture of the database layer's tests against the real Firebird server
// (label integration): a fresh ERP database per test, and the log helpers.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/fbclient.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/file.h"
#include "sync/log.h"
#include "sync/site_database.h"
#include "tests/db/tcp_proxy.h"
#include "tests/support/fake_env.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::db {

using Components = sync::SiteDatabase;
using sync::ConectarBanco;
using testing::FirebirdDb;
using testing::FirebirdServer;
using testing::TcpProxy;
using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

inline std::string LogText(const testing::TempDir& dir) {
  if (!platform::FileExists(dir.File("Quilvane.log"))) return {};
  return platform::AnsiToUtf8(dir.Read("Quilvane.log"));  // a new log is in the ANSI code page
}

// Entries of the log: a message of several lines is stamped once, so count
// the stamps ("DD/MM/YYYY HH:mm:ss - ") at line starts.
inline int LogEntries(const testing::TempDir& dir) {
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

class FirebirdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing;
    auto server = FirebirdServer::FromEnv(&missing);
    if (!server) {
      GTEST_FAIL() << "Firebird server not configured (missing" << missing
                   << "); run: eval \"$(scripts/servers start)\"";
    }
    server_ = *server;
    db_ = std::make_unique<FirebirdDb>(server_);
  }

  // Points the connection at the test database (through `host` when given).
  void Configure(Components& c, const std::string& host = "", int port = 0) {
    c.Connvelstrand.SetParam("Port", port != 0 ? std::to_string(port) : server_.port);
    c.Connvelstrand.SetParam("User_Name", "USUARIO");
    c.Connvelstrand.SetParam("Server", host.empty() ? server_.host : host);
    c.Connvelstrand.SetParam("Database", db_->path());
    c.Connvelstrand.SetParam("Password", "mirvex");
  }
  void Connect(Components& c, const std::string& host = "", int port = 0) {
    Configure(c, host, port);
    c.Connvelstrand.Connect();
  }

  FirebirdServer server_;
  std::unique_ptr<FirebirdDb> db_;
  testing::FakeEnv env_;  // Brazilian regional settings: "," and dd/MM/yyyy
};

}  // namespace quilvane::db
