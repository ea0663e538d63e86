// The database layer against the real Firebird server (label integration):
// value conversions, queries, transactions and text.

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

class FirebirdConversion : public FirebirdTest {
 protected:
  void SetUp() override {
    FirebirdTest::SetUp();
    if (HasFatalFailure()) return;
    env_.SetNow(2026, 6, 1);
    db_->Execute(R"(
CREATE TABLE CONV (ID INTEGER, SI SMALLINT, I INTEGER, BI BIGINT, N1 NUMERIC(4,1),
  N2 NUMERIC(15,2), N3 NUMERIC(9,3), N4 DECIMAL(18,4), N6 NUMERIC(18,6), DBL DOUBLE PRECISION,
  FLT FLOAT, DT DATE, TS TIMESTAMP, CH CHAR(10), VC VARCHAR(10), TXTDATE VARCHAR(20));
COMMIT;
INSERT INTO CONV VALUES (1, -7, 123456, 9000000000, 12.3, 12.5, -1.234, 3.1416, 2.123456,
  0.03125, 0.5, '2026-03-31', '2026-03-31 06:00:00', 'abc', 'abc  ', '31/03/2026 12:00');
INSERT INTO CONV (ID) VALUES (2);
INSERT INTO CONV VALUES (3, 0, -1, 0, -0.5, 0, 0, 0.0001, 2.000015,
  0.09375, -0.25, '1899-12-30', '1899-12-30 00:00:00', '   ', '', 'garbage');
)");
  }
};

constexpr const char* kConvColumns[] = {"SI",  "I",   "BI", "N1", "N2", "N3", "N4",     "N6",
                                        "DBL", "FLT", "DT", "TS", "CH", "VC", "TXTDATE"};

TEST_F(FirebirdConversion, EachColumnKindByEachConversion) {
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT * FROM CONV ORDER BY ID");
  q.Open();
  const double day = *platform::TryEncodeDate(2026, 3, 31);

  struct Want {
    const char* column;
    std::optional<std::int64_t> currency;  // nullopt: the conversion is refused
    std::string text;
    std::optional<double> datetime;  // nullopt: the conversion is refused
    bool is_null;
  };
  // Row 1: values.
  const Want row1[] = {
      {"SI", -70000, "-7", {}, false},
      {"I", 1234560000, "123456", {}, false},
      {"BI", 90000000000000, "9000000000", {}, false},
      {"N1", 123000, "12,3", {}, false},
      {"N2", 125000, "12,5", {}, false},
      {"N3", -12340, "-1,234", {}, false},
      {"N4", 31416, "3,1416", {}, false},
      {"N6", 21235, "2,123456", {}, false},
      {"DBL", 312, "0,03125", {}, false},
      {"FLT", 5000, "0,5", {}, false},
      {"DT", {}, "31/03/2026", day, false},
      {"TS", {}, "31/03/2026 06:00:00", day + 0.25, false},
      {"CH", {}, "abc", {}, false},
      {"VC", {}, "abc  ", {}, false},
      {"TXTDATE", {}, "31/03/2026 12:00", day + 0.5, false},
  };
  // Row 2: every column NULL.
  const Want row2[] = {
      {"SI", 0, "", {}, true},  {"I", 0, "", {}, true},    {"BI", 0, "", {}, true},
      {"N1", 0, "", {}, true},  {"N2", 0, "", {}, true},   {"N3", 0, "", {}, true},
      {"N4", 0, "", {}, true},  {"N6", 0, "", {}, true},   {"DBL", 0, "", {}, true},
      {"FLT", 0, "", {}, true}, {"DT", {}, "", 0.0, true}, {"TS", {}, "", 0.0, true},
      {"CH", {}, "", {}, true}, {"VC", {}, "", {}, true},  {"TXTDATE", {}, "", {}, true},
  };
  // Row 3: zeros, halves, blanks and the first day of the date scale.
  const Want row3[] = {
      {"SI", 0, "0", {}, false},
      {"I", -10000, "-1", {}, false},
      {"BI", 0, "0", {}, false},
      {"N1", -5000, "-0,5", {}, false},
      {"N2", 0, "0", {}, false},
      {"N3", 0, "0", {}, false},
      {"N4", 1, "0,0001", {}, false},
      {"N6", 20000, "2,000015", {}, false},  // 2.000015: an exact half goes to the even 2.0000
      {"DBL", 938, "0,09375", {}, false},    // 937.5 ten-thousandths: to the even 938
      {"FLT", -2500, "-0,25", {}, false},
      {"DT", {}, "30/12/1899", 0.0, false},
      {"TS", {}, "30/12/1899", 0.0, false},
      {"CH", {}, "", {}, true},  // blanks only: empty once trimmed
      {"VC", {}, "", {}, true},
      {"TXTDATE", {}, "garbage", {}, false},
  };
  const Want* rows[] = {row1, row2, row3};
  for (int r = 0; r < 3; ++r, q.Next()) {
    ASSERT_FALSE(q.Eof());
    for (int i = 0; i < 15; ++i) {
      const Want& w = rows[r][i];
      SCOPED_TRACE(std::string("row ") + std::to_string(r + 1) + " column " + w.column);
      const Field f = q.FieldByName(w.column);
      EXPECT_EQ(f.IsNull(), w.is_null);
      EXPECT_EQ(f.AsString(), w.text);
      if (w.currency) {
        EXPECT_EQ(f.AsCurrency(), *w.currency);
      } else {
        EXPECT_THROW(f.AsCurrency(), DbError);
      }
      if (w.datetime) {
        EXPECT_DOUBLE_EQ(f.AsDateTime(), *w.datetime);
      } else {
        EXPECT_THROW(f.AsDateTime(), DbError);
      }
    }
  }
  EXPECT_TRUE(q.Eof());
}

TEST_F(FirebirdConversion, RefusedConversionsNameFieldAndType) {
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT I AS INICIOPROM, CH, TXTDATE FROM CONV ORDER BY ID");
  q.Open();
  for (int r = 0; r < 3; ++r, q.Next()) {  // also when the value is NULL
    try {
      q.FieldByName("inicioprom").AsDateTime();
      FAIL() << "an INTEGER read as a date";
    } catch (const DbError& e) {
      EXPECT_STREQ(e.what(), "Cannot access field 'INICIOPROM' as type DateTime");
    }
  }
  q.First();
  EXPECT_THROW(q.FieldByName("CH").AsDateTime(), DbError);  // "abc"
  EXPECT_THROW(q.FieldByName("NOPE"), DbError);
}

// ------------------------------------------------------- role decision --

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

// ------------------------------------------------------------- queries --

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
// reached (all fetched first, again from the first, or rowset by rowset).
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

TEST_F(FirebirdTest, Latin1TextRoundTrip) {
  db_->InsertProduto("1", {{"DESCRICAO", "'Ação çé ÀÿÑ'"}});
  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT DESCRICAO FROM PRODUTOS WHERE CODIGO = '1'");
  q.Open();
  EXPECT_EQ(q.FieldByName("DESCRICAO").AsString(), "Ação çé ÀÿÑ");
  q.Close();

  c.TRQExec.StartTransaction();
  // Sent exactly as written: no parameter markers, macros or escapes.
  c.QExec.ExecSQL("UPDATE PRODUTOS SET DESCRICAO = 'Pão & Café :x ? !y {fn}' WHERE CODIGO = '1'");
  EXPECT_THROW(c.QExec.ExecSQL("UPDATE PRODUTOS SET DESCRICAO = '\xE4\xB8\xAD' WHERE CODIGO = '1'"),
               DbError);
  c.TRQExec.Commit();
  EXPECT_EQ(db_->Scalar("SELECT DESCRICAO FROM PRODUTOS WHERE CODIGO = '1'"),
            "Pão & Café :x ? !y {fn}");
}

// Windows ERPs store Windows-1252 in their ISO8859_1 columns ("€", "“ ”",
// "–" as bytes 0x80-0x9F). Read as Latin-1 they became C1 controls, and "€"
// written back was refused: every byte 0x01-0xFF now reads as its
// Windows-1252 character and is written back as the same byte, through a
// statement's text and through a parameter.
TEST_F(FirebirdTest, ErpTextKeepsEveryByte) {
  std::vector<std::string> chunks;  // DESCRICAO holds 60 bytes
  for (int b = 0x01; b <= 0xFF; ++b) {
    if (chunks.empty() || chunks.back().size() == 60) chunks.emplace_back();
    chunks.back() += static_cast<char>(b);
  }
  for (size_t i = 0; i < chunks.size(); ++i) {
    db_->InsertProduto("R" + std::to_string(i), {{"DESCRICAO", FirebirdDb::RawText(chunks[i])}});
    db_->InsertProduto("S" + std::to_string(i));
    db_->InsertProduto("P" + std::to_string(i));
  }
  db_->InsertProduto("EURO", {{"DESCRICAO", FirebirdDb::RawText("\x80 \x93\xC7\x94 \x96 \x81")}});

  Components c{platform::Env::Default()};
  Connect(c);
  Query q(c.Connvelstrand, c.TransReadOnly);
  q.SetSQL("SELECT DESCRICAO FROM PRODUTOS WHERE CODIGO = 'EURO'");
  q.Open();
  EXPECT_EQ(q.FieldByName("DESCRICAO").AsString(),
            "\xE2\x82\xAC \xE2\x80\x9C\xC3\x87\xE2\x80\x9D \xE2\x80\x93 \xC2\x81");
  q.Close();

  std::vector<std::string> texts;
  q.SetSQL("SELECT DESCRICAO FROM PRODUTOS WHERE CODIGO STARTING WITH 'R' ORDER BY CODIGO");
  q.Open();
  for (; !q.Eof(); q.Next()) texts.push_back(q.FieldByName("DESCRICAO").AsString());
  q.Close();
  ASSERT_EQ(texts.size(), chunks.size());

  Query bound(c.Connvelstrand, c.TRQExec);
  bound.SetSQL("UPDATE PRODUTOS SET DESCRICAO = ? WHERE CODIGO = ?");
  c.TRQExec.StartTransaction();
  for (size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(texts[i], platform::Windows1252ToUtf8(chunks[i]));
    std::string quoted;
    for (char ch : texts[i]) quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
    c.QExec.ExecSQL("UPDATE PRODUTOS SET DESCRICAO = '" + quoted + "' WHERE CODIGO = 'S" +
                    std::to_string(i) + "'");
    const Param params[] = {texts[i], "P" + std::to_string(i)};
    bound.ExecSQL(params);
  }
  c.TRQExec.Commit();
  for (size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    // Compared by the server, byte for byte.
    const std::string same =
        "SELECT COUNT(*) FROM PRODUTOS WHERE DESCRICAO = " + FirebirdDb::RawText(chunks[i]) +
        " AND CODIGO IN ('S" + std::to_string(i) + "', 'P" + std::to_string(i) + "')";
    EXPECT_EQ(db_->Scalar(same), "2");
  }

  // A character Windows-1252 lacks is refused, never stored as '?'.
  c.TRQExec.StartTransaction();
  try {
    c.QExec.ExecSQL("UPDATE PRODUTOS SET DESCRICAO = '\xC4\x80' WHERE CODIGO = 'EURO'");
    ADD_FAILURE() << "a character outside Windows-1252 was sent";
  } catch (const DbError& e) {
    EXPECT_NE(std::string(e.what()).find("ISO8859_1 cannot represent"), std::string::npos);
  }
  const Param lacking[] = {std::string("\xC2\x85"), std::string("EURO")};
  try {
    bound.ExecSQL(lacking);
    ADD_FAILURE() << "a character outside Windows-1252 was bound";
  } catch (const DbError& e) {
    EXPECT_EQ(std::string(e.what()), "Parameter 1 cannot be sent in ISO8859_1");
  }
  c.TRQExec.Rollback();
}

// The attach string travels in UTF-8 (client 3.0), so a folder with an
// accent in Caminho is found.
TEST_F(FirebirdTest, AccentedDatabasePathIsFound) {
  const std::string folder = server_.dir + "/Farmácia";
  const std::string path = folder + "/acentos-" + std::to_string(::getpid()) + ".fdb";
  ASSERT_EQ(std::system(
                ("mkdir -p '" + folder + "' && chown firebird:firebird '" + folder + "'").c_str()),
            0);
  testing::TempDir tmp;
  tmp.Write("create.sql", "CREATE DATABASE '" + server_.host + "/" + server_.port + ":" + path +
                              "' USER 'SYSDBA' PASSWORD '" + server_.sysdba_password +
                              "';\nCOMMIT;\n");
  tmp.Write("drop.sql", "CONNECT '" + server_.host + "/" + server_.port + ":" + path +
                            "' USER 'SYSDBA' PASSWORD '" + server_.sysdba_password +
                            "';\nDROP DATABASE;\n");
  ASSERT_EQ(std::system(("isql-fb -q -b -i '" + tmp.File("create.sql") + "'").c_str()), 0);
  {
    Components c{platform::Env::Default()};
    Configure(c);
    c.Connvelstrand.SetParam("Database", path);
    EXPECT_NO_THROW(c.Connvelstrand.Connect());
    EXPECT_TRUE(c.Connvelstrand.Connected());
  }
  EXPECT_EQ(std::system(("isql-fb -q -b -i '" + tmp.File("drop.sql") + "'").c_str()), 0);
}

// -------------------------------------------------------------- import --

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

// ------------------------------------------------------- ConectarBanco --

}  // namespace
}  // namespace quilvane::db
