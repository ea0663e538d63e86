// Text against the real Firebird server (label integration): Latin-1 and
// the ERP's Windows-1252 bytes both ways, and an accented database path.

#include "tests/db/firebird_fixture.h"

namespace quilvane::db {
namespace {

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

}  // namespace
}  // namespace quilvane::db
