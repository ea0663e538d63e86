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
#include "tests/db/site_components.h"
#include "tests/db/tcp_proxy.h"
#include "tests/support/fake_env.h"
#include "tests/support/firebird_db.h"
#include "tests/support/temp_dir.h"

namespace quilvane::db {

// The connection, transactions and queries as a site wires them.
using Components = testing::SiteComponents;
using testing::FirebirdDb;
using testing::FirebirdServer;
using testing::TcpProxy;
using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
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
