#pragma once

// Shared by the files of UpdateRunner; internal to the exchange library.

#include <cstddef>

#include "db/query.h"
#include "exchange/statement.h"

namespace quilvane::exchange::internal {

// Longest text a parameter carries; a longer literal runs as text.
inline constexpr std::size_t kMaxParamText = 32767;

// A code literal that can name no product: NULL, or text of blanks only
// (CHAR comparison ignores trailing blanks).
bool NoCode(const Literal& code);

// The parameter that carries `literal` into a block: text as UTF-8, a number
// as exact ten-thousandths, NULL.
db::Param ParamOf(const Literal& literal);

}  // namespace quilvane::exchange::internal
