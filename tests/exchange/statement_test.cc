#include "exchange/statement.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "exchange/format.h"

namespace quilvane::exchange {
namespace {

// A statement as the export writes it, with the popular-pharmacy pair.
const std::string kFull =
    "UPDATE PRODUTOS SET PRECOCUSTO = 10.50, LUCRO = 35.00, PRECOFARMACIAPOPULAR = 9.99, "
    "PRECOVENDA = 14.18, TIPOPROMOCAO = '1', INICIOPROM = '10/1/2023', FINALPROM = "
    "'10/31/2023', DESCPROMVISTA = 5.00, DESCPROMPRAZO = NULL, PRECOPROMVISTA = 13.47, "
    "PRECOPROMPRAZO = NULL, PROMQTDMINIMAVISTA = NULL, PROMQTDMINIMAPRAZO = NULL, "
    "PROMPAGUEVISTA = NULL, PROMLEVEVISTA = NULL, PROMPAGUEPRAZO = NULL, PROMLEVEPRAZO = "
    "NULL, PROMKITQTDVISTA = 3.000, PROMKITVALORVISTA = 39.90, PROMKITQTDPRAZO = NULL, "
    "PROMKITVALORPRAZO = NULL, PROMSOMENTEFEBRAFAR = 'N', PROMDESCRESIDUALVISTA = NULL, "
    "PROMDESCRESIDUALPRAZO = NULL WHERE CODIGO = '7891234'";

std::string Without(std::string s, const std::string& what) {
  return s.erase(s.find(what), what.size());
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  const auto at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return s.replace(at, from.size(), to);
}

const std::string kPlain = Without(kFull, ", PRECOFARMACIAPOPULAR = 9.99");

TEST(IsExportedStatementTest, AcceptsWhatTheExportWrites) {
  const std::string good[] = {
      kFull,
      kPlain,
      Replace(kPlain, "'7891234'", "'D''AVILA'"),
      Replace(kPlain, "'7891234'", "''''"),
      Replace(kPlain, "'7891234'", "NULL"),
      Replace(kPlain, "'7891234'", "'; DROP TABLE PRODUTOS; --'"),  // only text
      Replace(kPlain, "'1'", "'S\xc3O JOS\xc9 \x80'"),
      Replace(kPlain, "10.50", "-3.00"),
      Replace(kPlain, "10.50", "1234567"),
      Replace(kPlain, "10.50", "'10.50'"),
      Replace(kPlain, "'10/1/2023'", "NULL"),
      // Dates as sites with other regional separators wrote them.
      Replace(kPlain, "'10/1/2023'", "'10.1.2023'"),
      Replace(kPlain, "'10/1/2023'", "'10-1-2023'"),
  };
  for (const auto& line : good) EXPECT_TRUE(IsExportedStatement(line)) << line;
}

TEST(IsExportedStatementTest, RefusesEveryOtherLine) {
  const std::string bad[] = {
      "",
      " ",
      "DELETE FROM PRODUTOS",
      "DROP TABLE PRODUTOS",
      kPlain + ";",
      kPlain + "; DROP TABLE PRODUTOS",
      kPlain + " ",
      kPlain + " -- comment",
      kPlain + " /* comment */",
      kPlain + " OR 1=1",
      kPlain + "'",
      " " + kPlain,
      Replace(kPlain, "'7891234'", "'7891234' OR CODIGO <> ''"),
      Replace(kPlain, "'7891234'", "'7891234"),    // unbalanced quote
      Replace(kPlain, "'7891234'", "'78''91234"),  // the closing quote is doubled
      Replace(kPlain, "'7891234'", "7891234 OR 1=1"),
      Replace(kPlain, "'7891234'", "(SELECT MIN(CODIGO) FROM PRODUTOS)"),
      Replace(kPlain, "10.50", "10.50; DROP TABLE PRODUTOS; --"),
      Replace(kPlain, "10.50", "10.50 /**/"),
      Replace(kPlain, "10.50", "--10.50"),
      Replace(kPlain, "10.50", "10."),
      Replace(kPlain, "10.50", ".50"),
      Replace(kPlain, "10.50", "1e5"),
      Replace(kPlain, "10.50", "+10.50"),
      Replace(kPlain, "10.50", "null"),
      Replace(kPlain, "10.50", "X'41'"),
      Replace(kPlain, "10.50", "_ISO8859_1 'A'"),
      Replace(kPlain, "10.50", "q'{x}'"),
      Replace(kPlain, "10.50", "GEN_ID(G, 1)"),
      Replace(kPlain, "10.50", ""),
      Replace(kPlain, "10.50", "PRECOVENDA"),
      Replace(kPlain, ", LUCRO = ", ",LUCRO = "),
      Replace(kPlain, ", LUCRO = ", ", lucro = "),
      Replace(kPlain, ", LUCRO = ", ", LUCRO  = "),
      Replace(kPlain, "UPDATE", "update"),
      Replace(kPlain, "PRODUTOS", "PADRAO"),
      Replace(kPlain, " WHERE CODIGO = ", " WHERE CODIGO <> "),
      Without(kPlain, ", LUCRO = 35.00"),
      Without(kPlain, " WHERE CODIGO = '7891234'"),
      Replace(kPlain, ", LUCRO = 35.00", ", LUCRO = 35.00, LUCRO = 35.00"),
      // the popular-pharmacy pair out of its place
      Replace(kPlain, ", PRECOVENDA = 14.18", ", PRECOVENDA = 14.18, PRECOFARMACIAPOPULAR = 9.99"),
      Replace(kPlain, "'N'", "'N'\n"),
      Replace(kPlain, "'7891234'", "'7891234'" + std::string(1, '\0')),
  };
  for (const auto& line : bad) EXPECT_FALSE(IsExportedStatement(line)) << line;
}

// No field the export reads holds a control byte but a tab; a NUL would be
// stored by a parameter yet cut by the text path, so every path refuses it.
TEST(IsExportedStatementTest, RefusesControlBytesInsideText) {
  for (int byte = 0; byte <= 0xFF; ++byte) {
    if (byte == '\'') continue;
    const std::string inside = "'78" + std::string(1, static_cast<char>(byte)) + "91234'";
    const std::string line = Replace(kPlain, "'7891234'", inside);
    EXPECT_EQ(IsExportedStatement(line), byte >= 0x20 || byte == '\t') << "byte " << byte;
    EXPECT_EQ(ParseExportedStatement(line).has_value(), IsExportedStatement(line)) << byte;
  }
}

TEST(IsExportedStatementTest, RefusesLinesOverTheStatementLimit) {
  // A code of n letters makes the line kPlain.size() - 9 + n + 2 bytes long.
  const auto with_code_of = [](std::size_t n) {
    return Replace(kPlain, "'7891234'", "'" + std::string(n, 'A') + "'");
  };
  const std::size_t n = kMaxLineLength - kPlain.size() + 7;
  ASSERT_EQ(with_code_of(n).size(), kMaxLineLength);
  EXPECT_TRUE(IsExportedStatement(with_code_of(n)));
  EXPECT_FALSE(IsExportedStatement(with_code_of(n + 1)));
}

// Outside its quoted literals, what a line the check accepts can hold: the
// fixed texts' letters, blanks, commas, "=", and the numbers' digits, "-" and
// ".", with no "--" comment; and one WHERE.
bool OnlyLiteralsOutsideQuotes(const std::string& line) {
  std::string outside;
  bool in_quote = false;
  for (char c : line) {
    if (c == '\'') {
      in_quote = !in_quote;  // a doubled apostrophe leaves and re-enters
      continue;
    }
    if (!in_quote) outside += c;
  }
  if (in_quote) return false;
  for (char c : outside) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == ',' || c == '=' ||
          c == '-' || c == '.')) {
      return false;
    }
  }
  const auto where = outside.find(" WHERE ");
  return outside.find("--") == std::string::npos && outside.rfind("UPDATE PRODUTOS SET ", 0) == 0 &&
         where != std::string::npos && outside.find(" WHERE ", where + 1) == std::string::npos;
}

TEST(IsExportedStatementTest, MutatedLinesAreRefusedOrStillOnlyLiterals) {
  std::mt19937 rng(20231017);
  const std::string alphabet = "';-/*(),= .0123456789NULLWHERE\n\r\0";
  int accepted = 0;
  for (int round = 0; round < 100000; ++round) {
    std::string line = round % 2 ? kFull : kPlain;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % (line.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          line.insert(at, 1, c);
          break;
        case 1:
          if (at < line.size()) line.erase(at, 1);
          break;
        default:
          if (at < line.size()) line[at] = c;
          break;
      }
    }
    if (IsExportedStatement(line)) {
      ++accepted;
      ASSERT_TRUE(OnlyLiteralsOutsideQuotes(line)) << line;
    }
  }
  EXPECT_GT(accepted, 1000);  // the mutations also reach accepted lines
}

}  // namespace
}  // namespace quilvane::exchange
