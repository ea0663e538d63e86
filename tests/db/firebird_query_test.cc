// Queries against the real Firebird server (label integration): the role
// decision's PADRAO, rowsets, a large result read back exactly, and the read
// transaction a failed prepare leaves.

#include <algorithm>

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

TEST_F(FirebirdTest, PadraoCgcForTheRoleDecision) {
  const std::string cnpj = "12.345.678/0001-90";
  struct Case {
    bool row;
    std::optional<std::string> stored;
    std::string read;
  } cases[] = {
      {true, "12.345.678/0001-90", "12.345.678/0001-90"},  // equal: head office
      {true, "12345678000190", "12345678000190"},          // CHAR blanks go; not equal: branch
      {true, std::nullopt, ""},
      {true, "", ""},
      {false, std::nullopt, ""},  // empty PADRAO
  };
  Components c{platform::Env::Default()};
  Connect(c);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.stored.value_or("<null>"));
    db_->Execute("DELETE FROM PADRAO;");
    if (k.row) db_->InsertPadrao(1, k.stored);
    c.TBPadrao.Open();
    EXPECT_EQ(c.TBPadrao.Eof(), !k.row);
    EXPECT_EQ(c.TBPadrao.FieldByName("CGC").AsString(), k.read);
    EXPECT_EQ(c.TBPadrao.FieldByName("CGC").AsString() == cnpj, k.read == cnpj);
    // Fewer than 50 rows: the read transaction ended with the open.
    EXPECT_FALSE(c.TransReadOnly.InTransaction());
    c.TBPadrao.Close();
  }
}

TEST_F(FirebirdTest, ProdutosInRowsetsReadTransactionEndsAtTheEnd) {
  db_->FillProdutos(120);
  Components c{platform::Env::Default()};
  Connect(c);
  c.TBProdutos.Open();
  EXPECT_EQ(c.TBProdutos.RecordCount(), 50u);
  EXPECT_TRUE(c.TransReadOnly.InTransaction());  // its cursor is still open
  EXPECT_EQ(c.TBProdutos.FieldCount(), 25);
  c.TBProdutos.FetchAll();
  EXPECT_EQ(c.TBProdutos.RecordCount(), 120u);
  EXPECT_FALSE(c.TransReadOnly.InTransaction());

  int rows = 0;
  bool saw7 = false;
  for (c.TBProdutos.First(); !c.TBProdutos.Eof(); c.TBProdutos.Next(), ++rows) {
    Query& q = c.TBProdutos;
    for (const char* name : {"CODIGO", "TIPOPROMOCAO", "PROMSOMENTEFEBRAFAR"})
      q.FieldByName(name).AsString();
    for (const char* name : {"INICIOPROM", "FINALPROM"}) q.FieldByName(name).AsDateTime();
    for (int i = 0; i < q.FieldCount(); ++i) {
      const std::string& n = q.Fields(i).name();
      if (n != "CODIGO" && n != "TIPOPROMOCAO" && n != "PROMSOMENTEFEBRAFAR" && n != "INICIOPROM" &&
          n != "FINALPROM") {
        q.Fields(i).AsCurrency();
      }
    }
    if (q.FieldByName("CODIGO").AsString() == "7") {
      saw7 = true;
      EXPECT_EQ(q.FieldByName("PRECOFARMACIAPOPULAR").AsCurrency(), 0);  // NULL
      EXPECT_EQ(q.FieldByName("PRECOVENDA").AsCurrency(), 14900);        // 1.49
      EXPECT_EQ(q.FieldByName("LUCRO").AsCurrency(), 8750);              // 0.875
      EXPECT_EQ(q.FieldByName("PROMLEVEPRAZO").AsCurrency(), 70000000);  // BIGINT 7000
      EXPECT_EQ(q.FieldByName("TIPOPROMOCAO").AsString(), "B");
      EXPECT_DOUBLE_EQ(q.FieldByName("INICIOPROM").AsDateTime(),
                       *platform::TryEncodeDate(2026, 1, 8));
    }
  }
  EXPECT_EQ(rows, 120);
  EXPECT_TRUE(saw7);

  // Moving on row by row fetches the further rowsets too.
  c.TBProdutos.Close();
  c.TBProdutos.Open();
  rows = 0;
  for (; !c.TBProdutos.Eof(); c.TBProdutos.Next()) ++rows;
  EXPECT_EQ(rows, 120);
  EXPECT_FALSE(c.TransReadOnly.InTransaction());
}

// A result of a few MB: rows of every width, NULLs in varying columns,
// texts on both sides of 128 bytes, read back exactly however the rows are
// reached (all fetched first, again from the first, rowset by rowset, or
// forward only).
TEST_F(FirebirdTest, LargeResultReadsBackExactly) {
  db_->Execute(R"(
CREATE TABLE WIDE (ID INTEGER, VC VARCHAR(3000), CH CHAR(200), N NUMERIC(15,2), SI SMALLINT,
  DT DATE, DBL DOUBLE PRECISION, VS VARCHAR(5));
)");
  struct Row {
    std::optional<std::string> vc, ch;
    std::optional<std::int64_t> n, si;
    std::optional<double> dt, dbl;
    std::string vs;  // never NULL; empty on some rows
  };
  constexpr int kRows = 2500;
  std::vector<Row> rows(kRows);
  for (int i = 0; i < kRows; ++i) {
    Row& r = rows[i];
    if (i % 7 != 3) {
      const int length = i < 300 ? i : i * 37 % 3001;
      r.vc.emplace();
      for (int k = 0; k < length; ++k) {
        if (k % 61 == 0) {
          *r.vc += "é";
        } else {
          r.vc->push_back(static_cast<char>('a' + (i + k) % 26));
        }
      }
    }
    if (i % 5 != 1) r.ch = " " + std::string(i % 150, static_cast<char>('A' + i % 26));
    if (i % 3 != 0) r.n = (std::int64_t{i} * 1237 - 900000) * 100;
    if (i % 4 != 2) r.si = i * 17 % 60000 - 30000;
    if (i % 6 != 5) r.dt = 40000.0 + i;
    if (i % 2 == 0) r.dbl = i + 0.5;
    if (i % 9 != 0) r.vs = std::to_string(i);
  }

  Components c{platform::Env::Default()};
  Connect(c);
  {
    Query insert(c.Connvelstrand, c.TRQExec);
    insert.SetSQL("INSERT INTO WIDE VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    c.TRQExec.StartTransaction();
    for (int i = 0; i < kRows; ++i) {
      const Row& r = rows[i];
      auto or_null = [](const auto& v) { return v ? Param(*v) : Param(); };
      const Param p[] = {std::int64_t{i},
                         or_null(r.vc),
                         or_null(r.ch),
                         r.n ? Param(Currency{*r.n}) : Param(),
                         or_null(r.si),
                         r.dt ? Param(platform::DateTime{*r.dt}) : Param(),
                         r.dbl ? Param(Currency{std::llround(*r.dbl * 10000)}) : Param(),
                         r.vs};
      insert.ExecSQL(p);
    }
    c.TRQExec.Commit();
  }

  // The first difference of the current row, "" when there is none.
  auto mismatch = [&](const Query& q, int i) -> std::string {
    const Row& r = rows[i];
    const std::string at = "row " + std::to_string(i) + ": ";
    if (q.FieldByName("ID").AsInteger() != i) return at + "ID " + q.FieldByName("ID").AsString();
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {{"VC", &r.vc},
                                                                               {"CH", &r.ch}};
    for (const auto& [name, want] : texts) {
      const Field f = q.FieldByName(name);
      if (f.IsNull() != (!*want || (*want)->empty() || **want == " ")) return at + name + " null";
      const std::string expected = *want ? (**want == " " ? "" : **want) : "";
      if (f.AsString() != expected) return at + name + " '" + f.AsString() + "'";
    }
    if (q.FieldByName("VS").AsString() != r.vs || q.FieldByName("VS").IsNull() != r.vs.empty()) {
      return at + "VS '" + q.FieldByName("VS").AsString() + "'";
    }
    if (q.FieldByName("N").IsNull() != !r.n || q.FieldByName("N").AsCurrency() != r.n.value_or(0)) {
      return at + "N " + q.FieldByName("N").AsString();
    }
    if (q.FieldByName("SI").IsNull() != !r.si ||
        q.FieldByName("SI").AsInteger() != r.si.value_or(0) ||
        q.FieldByName("SI").AsString() != (r.si ? std::to_string(*r.si) : "")) {
      return at + "SI " + q.FieldByName("SI").AsString();
    }
    if (q.FieldByName("DT").IsNull() != !r.dt ||
        q.FieldByName("DT").AsDateTime() != r.dt.value_or(0)) {
      return at + "DT " + q.FieldByName("DT").AsString();
    }
    if (q.FieldByName("DBL").IsNull() != !r.dbl ||
        q.FieldByName("DBL").AsCurrency() != std::llround(r.dbl.value_or(0) * 10000)) {
      return at + "DBL " + q.FieldByName("DBL").AsString();
    }
    return "";
  };

  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT ID, VC, CH, N, SI, DT, DBL, VS FROM WIDE ORDER BY ID");
  q.Open();
  q.FetchAll();
  ASSERT_EQ(q.RecordCount(), size_t(kRows));
  int i = 0;
  for (; !q.Eof(); q.Next(), ++i) ASSERT_EQ(mismatch(q, i), "");
  EXPECT_EQ(i, kRows);
  EXPECT_TRUE(q.FieldByName("VC").IsNull());  // past the last row
  EXPECT_EQ(q.FieldByName("N").AsCurrency(), 0);

  q.First();
  for (i = 0; !q.Eof(); q.Next(), ++i) ASSERT_EQ(mismatch(q, i), "");
  EXPECT_EQ(i, kRows);

  // Rows fetched as the cursor moves land behind the ones already read.
  q.Close();
  q.Open();
  EXPECT_EQ(q.RecordCount(), size_t(Query::kRowsetSize));
  for (i = 0; !q.Eof(); q.Next(), ++i) ASSERT_EQ(mismatch(q, i), "");
  EXPECT_EQ(i, kRows);
  EXPECT_EQ(q.RecordCount(), size_t(kRows));

  // Forward only: the same rows, one rowset held at a time in reused memory.
  q.Close();
  q.SetForwardOnly(true);
  q.Open();
  std::size_t most_held = 0;
  for (i = 0; !q.Eof(); q.Next(), ++i) {
    ASSERT_EQ(mismatch(q, i), "");
    most_held = std::max(most_held, q.RecordCount());
  }
  EXPECT_EQ(i, kRows);
  EXPECT_EQ(most_held, size_t(Query::kRowsetSize));
}

TEST_F(FirebirdTest, FailedPrepareRollsBackTheReadTransaction) {
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT NOPE FROM PADRAO");
  try {
    q.Open();
    FAIL() << "an unknown column was accepted";
  } catch (const DbError& e) {
    EXPECT_NE(std::string(e.what()).find("NOPE"), std::string::npos) << e.what();
    EXPECT_NE(e.sqlcode(), 0);
  }
  EXPECT_FALSE(c.TransReadOnly.InTransaction());
  EXPECT_FALSE(q.Active());
  c.TBPadrao.Open();  // the connection is still usable
  EXPECT_TRUE(c.TBPadrao.Eof());
}

}  // namespace
}  // namespace quilvane::db
