// Connecting and reconnecting against the real Firebird server (label
// integration). Faults come from a TCP proxy on another loopback address,
// never from a mock.

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

// Attaching: what fails is one DbError, retried only when the connection
// itself was lost. The site's settings and its log line are the service's
// (its ConectarBanco tests).
class FirebirdConnect : public FirebirdTest {
 protected:
  void TearDown() override {
    Database::SetClientLibraryNamesForTesting(FbClient::DefaultLibraryNames());
  }
};

TEST_F(FirebirdConnect, AttachFailureIsOneAttemptWithoutPauses) {
  struct Case {
    const char* name;
    std::string database;
    std::string attach;
  } cases[] = {
      {"wrong path", server_.dir + "/nope.fdb",
       server_.host + "/" + server_.port + ":" + server_.dir + "/nope.fdb"},
      {"empty database", "", server_.host + "/" + server_.port + ":"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Components c{platform::Env::Default()};
    Configure(c);
    c.Connvelstrand.SetParam("Database", k.database);
    const auto start = Clock::now();
    try {
      c.Connvelstrand.Connect();
      ADD_FAILURE() << "attached to " << k.attach;
    } catch (const DbError& e) {
      EXPECT_FALSE(e.lost_connection()) << e.what();
      EXPECT_NE(std::string(e.what()).find("I/O error during"), std::string::npos) << e.what();
    }
    EXPECT_LT(Seconds(start), 3.0);  // no retry pauses
    EXPECT_FALSE(c.Connvelstrand.Connected());
    EXPECT_EQ(c.Connvelstrand.AttachString(), k.attach);
    EXPECT_EQ(c.Connvelstrand.attach_attempts(), 1);
  }
}

TEST_F(FirebirdConnect, WrongPasswordIsNotRetried) {
  TcpProxy proxy(0, server_.host, std::stoi(server_.port));
  Components c{platform::Env::Default()};
  Configure(c, proxy.host(), proxy.port());
  c.Connvelstrand.SetParam("Password", "wrong");
  try {
    c.Connvelstrand.Connect();
    FAIL() << "attached with a wrong password";
  } catch (const DbError& e) {
    EXPECT_FALSE(e.lost_connection()) << e.what();
  }
  EXPECT_EQ(proxy.accepted(), 1);
  EXPECT_EQ(c.Connvelstrand.attach_attempts(), 1);
}

TEST_F(FirebirdConnect, ClientLibraryThatFailsToLoadIsTriedAgainNextTime) {
  Components c{platform::Env::Default()};
  Configure(c);
  Database::UnloadClientLibraryForTesting();
  Database::SetClientLibraryNamesForTesting({"libquilvane-none.so.2", "libquilvane-none.so"});
  try {
    c.Connvelstrand.Connect();
    ADD_FAILURE() << "connected without a client library";
  } catch (const DbError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "Cannot load vendor library [libquilvane-none.so.2 or libquilvane-none.so]. ", 0),
              0u)
        << e.what();
  }
  Database::SetClientLibraryNamesForTesting(FbClient::DefaultLibraryNames());
  c.Connvelstrand.Connect();  // no restart needed
  EXPECT_TRUE(c.Connvelstrand.Connected());
}

// One initial attempt, three retries, two pauses of 3 s: an honest timing.
TEST_F(FirebirdConnect, ServerThatDropsEveryConnectionIsRetriedThreeTimes) {
  TcpProxy proxy(0, server_.host, std::stoi(server_.port));
  proxy.set_mode(TcpProxy::Mode::kDropSecondRequest);
  Components c{platform::Env::Default()};
  Configure(c, proxy.host(), proxy.port());
  const auto start = Clock::now();
  try {
    c.Connvelstrand.Connect();
    ADD_FAILURE() << "attached through a proxy that drops every connection";
  } catch (const DbError& e) {
    EXPECT_TRUE(e.lost_connection()) << e.what();
  }
  const double elapsed = Seconds(start);
  EXPECT_EQ(proxy.accepted(), 4);
  EXPECT_EQ(c.Connvelstrand.attach_attempts(), 4);
  EXPECT_GE(elapsed, 5.9);
  EXPECT_LT(elapsed, 12.0);
  EXPECT_FALSE(c.Connvelstrand.Connected());
}

TEST_F(FirebirdConnect, RefusedConnectionIsRetried) {
  // Nothing listens there: the proxies of the other tests take 127.0.0.2
  // to 127.0.0.249, the server 127.0.0.1.
  Components c{platform::Env::Default()};
  Configure(c, "127.0.0.254");
  c.Connvelstrand.set_retry_pause(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  try {
    c.Connvelstrand.Connect();
    ADD_FAILURE() << "attached where nothing listens";
  } catch (const DbError& e) {
    EXPECT_TRUE(e.lost_connection()) << e.what();
    EXPECT_NE(std::string(e.what()).find("127.0.0.254"), std::string::npos) << e.what();
  }
  const double elapsed = Seconds(start);
  EXPECT_EQ(c.Connvelstrand.attach_attempts(), 4);
  EXPECT_GE(elapsed, 0.2);  // both pauses taken
  EXPECT_LT(elapsed, 5.0);
}

// A connection lost and found again.
class FirebirdReconnect : public FirebirdTest {
 protected:
  void SetUp() override {
    FirebirdTest::SetUp();
    if (HasFatalFailure()) return;
    proxy_ = std::make_unique<TcpProxy>(0, server_.host, std::stoi(server_.port));
    db_->InsertPadrao(1, "12.345.678/0001-90");
    db_->InsertProduto("1", {{"PRECOVENDA", "1.00"}});
    db_->InsertProduto("2", {{"PRECOVENDA", "1.00"}});
  }
  void ConnectThroughProxy(Components& c) { Connect(c, proxy_->host(), proxy_->port()); }
  std::string Price(const char* codigo) {
    return db_->Scalar(std::string("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '") + codigo +
                       "'");
  }
  std::unique_ptr<TcpProxy> proxy_;
};

TEST_F(FirebirdReconnect, DroppedConnectionIsReattachedAndTheQueryRepeated) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TBPadrao.Open();
  c.TBPadrao.Close();
  proxy_->DropAll();
  c.TBProdutos.Open();
  c.TBProdutos.FetchAll();
  EXPECT_EQ(c.TBProdutos.RecordCount(), 2u);
  EXPECT_EQ(proxy_->accepted(), 2);
  c.TBPadrao.Open();  // statements prepared before the drop work again
  EXPECT_EQ(c.TBPadrao.FieldByName("CGC").AsString(), "12.345.678/0001-90");
}

TEST_F(FirebirdReconnect, FirstStatementOfABatchIsRepeated) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TRQExec.StartTransaction();
  proxy_->DropAll();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
  EXPECT_EQ(proxy_->accepted(), 2);
  EXPECT_TRUE(c.TRQExec.InTransaction());
  c.TRQExec.Commit();
  EXPECT_EQ(Price("1"), "2.00");
}

TEST_F(FirebirdReconnect, TransactionStartIsRepeated) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  proxy_->DropAll();
  c.TRQExec.StartTransaction();
  EXPECT_TRUE(c.TRQExec.InTransaction());
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 4 WHERE CODIGO = '2'");
  c.Connvelstrand.Disconnect();  // commits
  EXPECT_EQ(proxy_->accepted(), 2);
  EXPECT_EQ(Price("2"), "4.00");
}

TEST_F(FirebirdReconnect, ReadLosingABatchInProgressFailsToo) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TRQExec.StartTransaction();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
  proxy_->DropAll();
  EXPECT_THROW(c.TBPadrao.Open(), DbError);
  EXPECT_FALSE(c.Connvelstrand.Connected());
  EXPECT_EQ(Price("1"), "1.00");
}

TEST_F(FirebirdReconnect, LossWithUncommittedStatementsFailsTheStep) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TRQExec.StartTransaction();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
  proxy_->DropAll();
  try {
    c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '2'");
    FAIL() << "the batch's first statement was lost silently";
  } catch (const DbError& e) {
    EXPECT_TRUE(e.lost_connection()) << e.what();
  }
  EXPECT_FALSE(c.Connvelstrand.Connected());
  EXPECT_FALSE(c.TRQExec.InTransaction());
  EXPECT_EQ(proxy_->accepted(), 1);
  c.Connvelstrand.Disconnect();  // the cleanup has nothing left to do
  EXPECT_EQ(Price("1"), "1.00");
  EXPECT_EQ(Price("2"), "1.00");
}

TEST_F(FirebirdReconnect, LostCommitIsAnError) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TRQExec.StartTransaction();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
  proxy_->DropAll();
  EXPECT_THROW(c.TRQExec.Commit(), DbError);
  EXPECT_FALSE(c.TRQExec.InTransaction());
  EXPECT_FALSE(c.Connvelstrand.Connected());
  EXPECT_EQ(Price("1"), "1.00");
}

TEST_F(FirebirdReconnect, LostCommitAtDisconnectEndsDisconnectedAndReports) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TRQExec.StartTransaction();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
  proxy_->DropAll();
  EXPECT_THROW(c.Connvelstrand.Disconnect(), DbError);
  EXPECT_FALSE(c.Connvelstrand.Connected());
  EXPECT_FALSE(c.TRQExec.InTransaction());
  c.Connvelstrand.Disconnect();
  EXPECT_EQ(Price("1"), "1.00");
}

TEST_F(FirebirdReconnect, DisconnectAfterALossWithNothingPendingIsQuiet) {
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TBPadrao.Open();             // read whole, its transaction already committed
  c.TRQExec.StartTransaction();  // no statement yet
  proxy_->DropAll();
  EXPECT_NO_THROW(c.Connvelstrand.Disconnect());
  EXPECT_FALSE(c.Connvelstrand.Connected());
  EXPECT_FALSE(c.TBPadrao.Active());
}

TEST_F(FirebirdReconnect, LostFetchIsAnErrorNotAShortResult) {
  db_->Execute("DELETE FROM PRODUTOS;");
  db_->FillProdutos(20000);
  Components c{platform::Env::Default()};
  ConnectThroughProxy(c);
  c.TBProdutos.Open();
  proxy_->DropAll();
  try {
    c.TBProdutos.FetchAll();
    FAIL() << "read " << c.TBProdutos.RecordCount() << " rows as if they were all";
  } catch (const DbError& e) {
    EXPECT_TRUE(e.lost_connection()) << e.what();
  }
  EXPECT_FALSE(c.Connvelstrand.Connected());
}

}  // namespace
}  // namespace quilvane::db

namespace quilvane::testing {
namespace {

TEST(FirebirdFixture, CreatesTheErpTablesAndDropsTheFile) {
  QUILVANE_REQUIRE_FIREBIRD(server);
  std::string path;
  {
    FirebirdDb db(server);
    path = db.path();
    EXPECT_TRUE(platform::FileExists(path));
    EXPECT_EQ(
        db.Scalar("SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'PRODUTOS'"),
        "26");
    db.InsertPadrao(1, "12.345.678/0001-90");
    db.InsertProduto("A1", {{"PRECOVENDA", "12.5"}, {"TIPOPROMOCAO", "'Ç'"}});
    EXPECT_EQ(db.Scalar("SELECT PRECOVENDA || TIPOPROMOCAO FROM PRODUTOS"), "12.50Ç");
    EXPECT_EQ(db.Scalar("SELECT CGC FROM PADRAO"), "12.345.678/0001-90");
    EXPECT_THROW(db.Execute("INSERT INTO NOPE VALUES (1);"), std::runtime_error);
  }
  EXPECT_FALSE(platform::FileExists(path));
}

}  // namespace
}  // namespace quilvane::testing
