#pragma once

// Shared by the files of UpdateRunner; internal to the exchange library.

#include <cstddef>

#include "db/query.h"
#include "exchange/format.h"
#include "exchange/statement.h"

namespace quilvane::exchange::internal {

// Statements per prepared block: the block's text (about 1.7 KB a statement)
// stays under the server's 64 KiB statement limit, and a block never spans a
// commit.
inline constexpr std::size_t kBlockStatements = 25;
static_assert(kBatchSize % kBlockStatements == 0, "a block never spans a commit");

// With only_changed, statements whose rows are read in one query: one round
// trip for the run.
inline constexpr std::size_t kReadStatements = 50;
// Compared with the scan, a run costs no round trip: a long one lets a block
// gather the statements that differ from between many that do not (one in a
// hundred on a usual day).
inline constexpr std::size_t kScannedRunStatements = 500;

// Longest text a parameter carries; a longer literal runs as text.
inline constexpr std::size_t kMaxParamText = 32767;

// A code literal that can name no product: NULL, or text of blanks only
// (CHAR comparison ignores trailing blanks).
bool NoCode(const Literal& code);

// The parameter that carries `literal` into a block: text as UTF-8, a number
// as exact ten-thousandths, NULL.
db::Param ParamOf(const Literal& literal);

}  // namespace quilvane::exchange::internal
