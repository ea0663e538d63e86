#pragma once

#include <string>

#include "db/query.h"
#include "platform/env.h"

namespace quilvane::exchange {

// Writes the exchange file `arquivo_script` from `produtos`, a query on a
// connected database that selects CODIGO and every column of
// kStatementParts: line 1 today's date (`env`'s clock and date separator),
// then one statement per product in the order the query returns them; the
// popular-pharmacy pair only when `sincronizar_preco_farmacia_popular`. The
// file is closed also on failure (then incomplete; the caller deletes it).
// `produtos` stays open. Throws platform::Error (db::DbError,
// platform::SystemError) on failure.
void ExportPrices(db::Query& produtos, const std::string& arquivo_script,
                  bool sincronizar_preco_farmacia_popular, platform::Env& env);

}  // namespace quilvane::exchange
