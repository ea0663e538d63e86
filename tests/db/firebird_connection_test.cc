// Connecting and reconnecting against the real Firebird server (label
// integration). Faults come from a TCP proxy on another loopback address,
// never from a mock.

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

class FirebirdConectarBanco : public FirebirdTest {
 protected:
  testing::TempDir dir_;
};

TEST_F(FirebirdConectarBanco, ConnectsWithTolmarcIni) {
  db_->WriteTolmarcIni(dir_.path());
  Components c{platform::Env::Default()};
  sync::Log log(dir_.path(), platform::Env::Default());
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

TEST_F(FirebirdConectarBanco, SettingsThatCannotAttachGiveOneAttemptAndOneLine) {
  struct Case {
    const char* name;
    std::string ini;
    std::string attach;
  } cases[] = {
      {"wrong path",
       "[Tolmarc]\r\nServidor=" + server_.host + "\r\nCaminho=" + server_.dir + "/nope.fdb\r\n",
       server_.host + "/3050:" + server_.dir + "/nope.fdb"},
      {"empty Caminho", "[Tolmarc]\r\nServidor=" + server_.host + "\r\nCaminho=\r\n",
       server_.host + "/3050:"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    testing::TempDir dir;
    dir.Write("tolmarc.ini", k.ini);
    Components c{platform::Env::Default()};
    sync::Log log(dir.path(), platform::Env::Default());
    const auto start = Clock::now();
    EXPECT_FALSE(ConectarBanco(c, dir.path(), log));
    EXPECT_LT(Seconds(start), 3.0);  // no retry pauses
    EXPECT_FALSE(c.Connvelstrand.Connected());
    EXPECT_EQ(c.Connvelstrand.AttachString(), k.attach);
    EXPECT_EQ(c.Connvelstrand.attach_attempts(), 1);
    EXPECT_EQ(LogEntries(dir), 1) << LogText(dir);
    EXPECT_EQ(LogText(dir).find(" - Falha na conexão do banco de dados: "), 19u) << LogText(dir);
  }
}

// Without a host the attach string starts with the slash. Whether the client
// then reaches a local server is the client's affair; the layer makes one
// attempt, and logs one line if it fails.
TEST_F(FirebirdConectarBanco, EmptyServidorLeavesTheHostOut) {
  dir_.Write("tolmarc.ini", "[Tolmarc]\r\nServidor=\r\nCaminho=" + db_->path() + "\r\n");
  Components c{platform::Env::Default()};
  sync::Log log(dir_.path(), platform::Env::Default());
  const bool connected = ConectarBanco(c, dir_.path(), log);
  EXPECT_EQ(c.Connvelstrand.AttachString(), "/3050:" + db_->path());
  EXPECT_FALSE(c.Connvelstrand.Param("Server"));
  EXPECT_EQ(c.Connvelstrand.attach_attempts(), 1);
  EXPECT_EQ(LogEntries(dir_), connected ? 0 : 1) << LogText(dir_);
}

TEST_F(FirebirdConectarBanco, NoIniUsesLocalhostAndTheExecutableFolder) {
  Components c{platform::Env::Default()};
  sync::Log log(dir_.path(), platform::Env::Default());
  EXPECT_FALSE(ConectarBanco(c, dir_.path(), log));
  EXPECT_EQ(c.Connvelstrand.AttachString(), "localhost/3050:" + dir_.path() + "TOLMARC.FDB");
  EXPECT_EQ(LogEntries(dir_), 1) << LogText(dir_);
  EXPECT_NE(dir_.Read("Quilvane.log").find("TOLMARC.FDB"), std::string::npos);
}

TEST_F(FirebirdConectarBanco, WrongPasswordIsNotRetried) {
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

TEST_F(FirebirdConectarBanco, ClientLibraryThatFailsToLoadIsTriedAgainNextTime) {
  db_->WriteTolmarcIni(dir_.path());
  sync::Log log(dir_.path(), platform::Env::Default());
  Components c{platform::Env::Default()};
  Database::UnloadClientLibraryForTesting();
  Database::SetClientLibraryNamesForTesting({"libquilvane-none.so.2", "libquilvane-none.so"});
  EXPECT_FALSE(ConectarBanco(c, dir_.path(), log));
  Database::SetClientLibraryNamesForTesting(FbClient::DefaultLibraryNames());
  EXPECT_TRUE(ConectarBanco(c, dir_.path(), log));  // no restart needed
  EXPECT_EQ(LogEntries(dir_), 1);
  EXPECT_NE(LogText(dir_).find(" - Falha na conexão do banco de dados: Cannot load vendor library "
                               "[libquilvane-none.so.2 or libquilvane-none.so]. "),
            std::string::npos)
      << LogText(dir_);
}

// One initial attempt, three retries, two pauses of 3 s: an honest timing.
TEST_F(FirebirdConectarBanco, ServerThatDropsEveryConnectionIsRetriedThreeTimes) {
  TcpProxy proxy(3050, server_.host, std::stoi(server_.port));
  proxy.set_mode(TcpProxy::Mode::kDropSecondRequest);
  db_->WriteTolmarcIni(dir_.path(), proxy.host());
  Components c{platform::Env::Default()};
  sync::Log log(dir_.path(), platform::Env::Default());
  const auto start = Clock::now();
  EXPECT_FALSE(ConectarBanco(c, dir_.path(), log));
  const double elapsed = Seconds(start);
  EXPECT_EQ(proxy.accepted(), 4) << LogText(dir_);
  EXPECT_EQ(c.Connvelstrand.attach_attempts(), 4);
  EXPECT_GE(elapsed, 5.9);
  EXPECT_LT(elapsed, 12.0);
  EXPECT_EQ(LogEntries(dir_), 1) << LogText(dir_);
}

TEST_F(FirebirdConectarBanco, RefusedConnectionIsRetriedAndLoggedOnce) {
  // Nothing listens there: the proxies of the other tests take 127.0.0.2
  // to 127.0.0.249, the server 127.0.0.1.
  const std::string host = "127.0.0.254";
  db_->WriteTolmarcIni(dir_.path(), host);
  Components c{platform::Env::Default()};
  c.Connvelstrand.set_retry_pause(std::chrono::milliseconds(100));
  sync::Log log(dir_.path(), platform::Env::Default());
  const auto start = Clock::now();
  EXPECT_FALSE(ConectarBanco(c, dir_.path(), log));
  const double elapsed = Seconds(start);
  EXPECT_EQ(c.Connvelstrand.attach_attempts(), 4);
  EXPECT_GE(elapsed, 0.2);  // both pauses taken
  EXPECT_LT(elapsed, 5.0);
  EXPECT_EQ(LogEntries(dir_), 1) << LogText(dir_);
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
