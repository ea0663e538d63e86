#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "exchange/format.h"

namespace quilvane::exchange {

// Whether `line` has exactly the shape of a statement the export writes:
// the fixed texts of the statement in order (with or without the
// popular-pharmacy pair), each followed by one literal, and nothing after the
// last one. A literal is NULL, a decimal number ("-" optional, digits, "."
// and digits optional) or a quoted string in which apostrophes are doubled
// and every other byte may stand but the control bytes below 0x20 other than
// the tab. Lines longer than kMaxLineLength fail.
// Works on the stored bytes: every byte the grammar names is ASCII, which
// Windows-1252 and UTF-8 share.
bool IsExportedStatement(std::string_view line);

// One literal of a statement line, as written.
struct Literal {
  enum class Kind { kAbsent, kNull, kNumber, kText };
  Kind kind = Kind::kAbsent;
  // kNumber: the number as written ("-12.50"); kText: the bytes between the
  // apostrophes, apostrophes still doubled.
  std::string_view text;
};

// The literals of a line of the exported shape, one per statement part
// (kStatementParts order; the popular-pharmacy part kAbsent when the pair is
// not written); nullopt for any other line.
using StatementLiterals = std::array<Literal, kStatementPartCount>;
std::optional<StatementLiterals> ParseExportedStatement(std::string_view line);

}  // namespace quilvane::exchange
