#pragma once

#include <cstddef>
#include <string_view>

// The exchange file, shared by its writer (the export) and its reader (the
// import). Windows-1252 without a byte-order mark; every line, the last one
// included, ends with CR LF. Line 1 is the export day "DD/MM/YYYY" with the
// writer's regional date separator; every further line is one statement made
// of the fixed texts below, each followed by one literal, in this order.

namespace quilvane::exchange {

enum class LiteralKind {
  kValor2,  // FormataValor(currency, 2)
  kValor3,  // FormataValor(currency, 3)
  kData,    // FormataData(date-time)
  kTexto,   // FormataTexto(text)
};

struct StatementPart {
  std::string_view fixed_text;  // written before the literal
  std::string_view column;      // the PRODUTOS column the literal comes from
  LiteralKind kind;
};

inline constexpr std::size_t kStatementPartCount = 25;

inline constexpr StatementPart kStatementParts[kStatementPartCount] = {
    {"UPDATE PRODUTOS SET PRECOCUSTO = ", "PRECOCUSTO", LiteralKind::kValor2},
    {", LUCRO = ", "LUCRO", LiteralKind::kValor2},
    {", PRECOFARMACIAPOPULAR = ", "PRECOFARMACIAPOPULAR", LiteralKind::kValor2},
    {", PRECOVENDA = ", "PRECOVENDA", LiteralKind::kValor2},
    {", TIPOPROMOCAO = ", "TIPOPROMOCAO", LiteralKind::kTexto},
    {", INICIOPROM = ", "INICIOPROM", LiteralKind::kData},
    {", FINALPROM = ", "FINALPROM", LiteralKind::kData},
    {", DESCPROMVISTA = ", "DESCPROMVISTA", LiteralKind::kValor2},
    {", DESCPROMPRAZO = ", "DESCPROMPRAZO", LiteralKind::kValor2},
    {", PRECOPROMVISTA = ", "PRECOPROMVISTA", LiteralKind::kValor2},
    {", PRECOPROMPRAZO = ", "PRECOPROMPRAZO", LiteralKind::kValor2},
    {", PROMQTDMINIMAVISTA = ", "PROMQTDMINIMAVISTA", LiteralKind::kValor3},
    {", PROMQTDMINIMAPRAZO = ", "PROMQTDMINIMAPRAZO", LiteralKind::kValor3},
    {", PROMPAGUEVISTA = ", "PROMPAGUEVISTA", LiteralKind::kValor3},
    {", PROMLEVEVISTA = ", "PROMLEVEVISTA", LiteralKind::kValor3},
    {", PROMPAGUEPRAZO = ", "PROMPAGUEPRAZO", LiteralKind::kValor3},
    {", PROMLEVEPRAZO = ", "PROMLEVEPRAZO", LiteralKind::kValor3},
    {", PROMKITQTDVISTA = ", "PROMKITQTDVISTA", LiteralKind::kValor3},
    {", PROMKITVALORVISTA = ", "PROMKITVALORVISTA", LiteralKind::kValor2},
    {", PROMKITQTDPRAZO = ", "PROMKITQTDPRAZO", LiteralKind::kValor3},
    {", PROMKITVALORPRAZO = ", "PROMKITVALORPRAZO", LiteralKind::kValor2},
    {", PROMSOMENTEFEBRAFAR = ", "PROMSOMENTEFEBRAFAR", LiteralKind::kTexto},
    {", PROMDESCRESIDUALVISTA = ", "PROMDESCRESIDUALVISTA", LiteralKind::kValor2},
    {", PROMDESCRESIDUALPRAZO = ", "PROMDESCRESIDUALPRAZO", LiteralKind::kValor2},
    {" WHERE CODIGO = ", "CODIGO", LiteralKind::kTexto},
};

// The popular-pharmacy pair: written only when the head office's
// `SincronizarPrecoFarmaciaPopular` is true.
inline constexpr std::size_t kPopularPart = 2;

// Statements per import transaction.
inline constexpr int kBatchSize = 250;

// Longest statement line the import accepts: Firebird's limit on the text of
// one statement.
inline constexpr std::size_t kMaxLineLength = 64 * 1024;

// Longest first line the import reads as a date before calling it invalid.
inline constexpr std::size_t kMaxDateLineLength = 256;

inline constexpr std::string_view kLineEnd = "\r\n";

}  // namespace quilvane::exchange
