#pragma once

#include <string>

#include "db/components.h"

namespace quilvane::exchange {

// Writes the exchange file `arquivo_script` from `TBProdutos` of a connected
// `c`: line 1 today's date, then one statement per product in the order the
// query returns them; the popular-pharmacy pair only when
// `sincronizar_preco_farmacia_popular`. The file is closed also on failure
// (then incomplete; the caller deletes it). `TBProdutos` stays open.
// Throws platform::Error (db::DbError, platform::SystemError) on failure.
void ExportPrices(db::Components& c, const std::string& arquivo_script,
                  bool sincronizar_preco_farmacia_popular);

}  // namespace quilvane::exchange
