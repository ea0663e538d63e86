// The import's statements against the real Firebird server (label
// integration): the explicit transaction, parameters and a locked row.

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

TEST_F(FirebirdTest, ImportStatementsRunInTheExplicitTransaction) {
  db_->InsertProduto("1", {{"PRECOVENDA", "1.00"}});
  Components c{platform::Env::Default()};
  Connect(c);
  EXPECT_THROW(c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'"), DbError);
  c.TRQExec.StartTransaction();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 9 WHERE CODIGO = 'NOPE'");  // no row: no error
  EXPECT_EQ(db_->Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '1'"), "1.00");
  EXPECT_EQ(c.TRQExec.uncommitted_statements(), 2);
  c.TRQExec.Commit();
  EXPECT_FALSE(c.TRQExec.InTransaction());
  EXPECT_EQ(db_->Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '1'"), "2.00");

  // A failing statement leaves the batch open with its earlier work.
  c.TRQExec.StartTransaction();
  c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 3 WHERE CODIGO = '1'");
  EXPECT_THROW(c.QExec.ExecSQL("UPDATE PRODUTOS SET NOPE = 1"), DbError);
  EXPECT_TRUE(c.TRQExec.InTransaction());
  // Disconnecting commits it.
  c.Connvelstrand.Disconnect();
  EXPECT_FALSE(c.Connvelstrand.Connected());
  EXPECT_FALSE(c.TRQExec.InTransaction());
  EXPECT_EQ(db_->Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '1'"), "3.00");
}

TEST_F(FirebirdTest, PreparedStatementWithParameters) {
  db_->InsertProduto("1");
  db_->InsertProduto("2");
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TRQExec);
  q.SetSQL(
      "UPDATE PRODUTOS SET PRECOVENDA = ?, DESCRICAO = ?, INICIOPROM = ?, PROMLEVEPRAZO = ? WHERE "
      "CODIGO = ?");
  c.TRQExec.StartTransaction();
  const Param a[] = {Currency{123456}, std::string("Ação"), *platform::TryEncodeDate(2026, 2, 1),
                     std::int64_t{42}, std::string("1")};
  q.ExecSQL(a);
  const Param b[] = {std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{},
                     std::string("2")};
  q.ExecSQL(b);
  const Param wrong[] = {std::string("1")};
  EXPECT_THROW(q.ExecSQL(wrong), DbError);
  const Param far[] = {std::monostate{}, std::monostate{}, platform::DateTime{1e12},
                       std::monostate{}, std::string("1")};
  EXPECT_THROW(q.ExecSQL(far), DbError);
  c.TRQExec.Commit();
  EXPECT_EQ(
      db_->Scalar(
          "SELECT PRECOVENDA || ' ' || DESCRICAO || ' ' || INICIOPROM || ' ' || PROMLEVEPRAZO "
          "FROM PRODUTOS WHERE CODIGO = '1'"),
      "12.35 Ação 2026-02-01 42");
  EXPECT_EQ(db_->Scalar("SELECT COALESCE(PRECOVENDA, -1) FROM PRODUTOS WHERE CODIGO = '2'"),
            "-1.00");
}

TEST_F(FirebirdTest, LockedRowFailsAtOnce) {
  db_->InsertProduto("1", {{"PRECOVENDA", "1.00"}});
  Components other{platform::Env::Default()};
  Connect(other);
  other.TRQExec.StartTransaction();
  other.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 5 WHERE CODIGO = '1'");

  Components c{platform::Env::Default()};
  Connect(c);
  c.TRQExec.StartTransaction();
  const auto start = Clock::now();
  try {
    c.QExec.ExecSQL("UPDATE PRODUTOS SET PRECOVENDA = 2 WHERE CODIGO = '1'");
    FAIL() << "updated a row another transaction holds";
  } catch (const DbError& e) {
    EXPECT_NE(std::string(e.what()).find("update conflicts with concurrent update"),
              std::string::npos)
        << e.what();
    EXPECT_FALSE(e.lost_connection());
  }
  EXPECT_LT(Seconds(start), 2.0);
  // Reads do not wait for the lock either.
  c.TBProdutos.Open();
  c.TBProdutos.FetchAll();
  EXPECT_EQ(c.TBProdutos.FieldByName("PRECOVENDA").AsCurrency(), 10000);
  other.Connvelstrand.Disconnect();
  EXPECT_EQ(db_->Scalar("SELECT PRECOVENDA FROM PRODUTOS WHERE CODIGO = '1'"), "5.00");
}

}  // namespace
}  // namespace quilvane::db
