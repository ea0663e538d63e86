#pragma once

// What the export and import tests against the real Firebird server share:
// statement lines built from their literals, and rows covering every column
// kind for the head office's table.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "exchange/format.h"

namespace quilvane::exchange::testing {

// A statement line from its 25 literals, in the order of kStatementParts.
inline std::string Statement(const std::vector<std::string>& literals, bool popular) {
  EXPECT_EQ(literals.size(), kStatementPartCount);
  std::string s;
  for (std::size_t i = 0; i < kStatementPartCount; ++i) {
    if (i == kPopularPart && !popular) continue;
    s += kStatementParts[i].fixed_text;
    s += literals[i];
  }
  return s;
}

// Rows that cover the column kinds, NULL, zero, halves, negatives,
// apostrophes, the zero date and Latin-1 letters. The script is ISO-8859-1.
inline constexpr char kExportRows[] =
    "INSERT INTO PRODUTOS (CODIGO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR, PRECOVENDA,"
    " TIPOPROMOCAO, INICIOPROM, FINALPROM, DESCPROMVISTA, PRECOPROMVISTA, PROMKITQTDVISTA,"
    " PROMKITVALORVISTA, PROMSOMENTEFEBRAFAR)"
    " VALUES ('7891234', 10.50, 35, 9.99, 14.175, '1', '2023-10-01', '2023-10-31 08:30:00',"
    " 5, 13.47, 3, 39.90, 'N');\n"
    // Zero, empty texts and the zero date everywhere.
    "INSERT INTO PRODUTOS (CODIGO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR, PRECOVENDA,"
    " TIPOPROMOCAO, INICIOPROM, FINALPROM, DESCPROMVISTA, DESCPROMPRAZO, PRECOPROMVISTA,"
    " PRECOPROMPRAZO, PROMQTDMINIMAVISTA, PROMQTDMINIMAPRAZO, PROMPAGUEVISTA, PROMLEVEVISTA,"
    " PROMPAGUEPRAZO, PROMLEVEPRAZO, PROMKITQTDVISTA, PROMKITVALORVISTA, PROMKITQTDPRAZO,"
    " PROMKITVALORPRAZO, PROMSOMENTEFEBRAFAR, PROMDESCRESIDUALVISTA, PROMDESCRESIDUALPRAZO)"
    " VALUES ('ZERO', 0, 0, 0, 0, '', '1899-12-30', '1899-12-30 00:00:00', 0, 0, 0, 0, 0, 0,"
    " 0, 0, 0, 0, 0, 0, 0, 0, '', 0, 0);\n"
    // Halves, negatives, a rounded zero, apostrophes, the zero day at 08:00.
    "INSERT INTO PRODUTOS (CODIGO, PRECOCUSTO, LUCRO, PRECOFARMACIAPOPULAR, PRECOVENDA,"
    " TIPOPROMOCAO, INICIOPROM, FINALPROM, PROMQTDMINIMAVISTA, PROMPAGUEVISTA, PROMLEVEVISTA,"
    " PROMPAGUEPRAZO, PROMSOMENTEFEBRAFAR, PROMDESCRESIDUALVISTA)"
    " VALUES ('D''AVILA', -3, 1.245, -0.01, 0.125, '''', '1899-12-30',"
    " '1899-12-30 08:00:00', 1.2345, 2, -1, 1.2355, '''', -0.004);\n"
    "INSERT INTO PRODUTOS (CODIGO, LUCRO, PRECOVENDA, TIPOPROMOCAO, INICIOPROM,"
    " PROMSOMENTEFEBRAFAR, PROMDESCRESIDUALPRAZO)"
    " VALUES ('A\xc7\xda"
    "CAR ', 1.2351, 1234567.891, '\xc9', '2024-03-05', '\xe3', 0.005);\n"
    // No CODIGO; a negative price that rounds to zero.
    "INSERT INTO PRODUTOS (CODIGO, PRECOVENDA) VALUES (NULL, -0.004);\n";

}  // namespace quilvane::exchange::testing
