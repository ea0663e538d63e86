#pragma once

#include <string_view>

namespace quilvane::exchange {

// Whether `line` has exactly the shape of a statement the export writes:
// the fixed texts of the statement in order (with or without the
// popular-pharmacy pair), each followed by one literal, and nothing after the
// last one. A literal is NULL, a decimal number ("-" optional, digits, "."
// and digits optional) or a quoted string in which apostrophes are doubled
// and every other byte may stand. Lines longer than kMaxLineLength fail.
// Works on the stored bytes: every byte the grammar names is ASCII, which
// Windows-1252 and UTF-8 share.
bool IsExportedStatement(std::string_view line);

}  // namespace quilvane::exchange
