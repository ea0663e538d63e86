#pragma once

// -CHECK's item for the update triggers on PRODUTOS: with SomenteAlterados=1
// they no longer fire for the products that did not change, which an ERP
// that counts on them must know.

#include <cstdint>
#include <string>

#include "sync/site_check_ftp.h"
#include "sync/site_database.h"

namespace quilvane::sync {

// When a trigger of a table fires, from RDB$TRIGGER_TYPE: "antes de
// alterar", "depois de inserir ou alterar"... Empty for a value that is not
// a table trigger's.
std::string TriggerWhen(std::int64_t trigger_type);

// "SomenteAlterados", then "Gatilhos de PRODUTOS": the active triggers
// (name and when they fire), as information, read on the connected `db`.
void CheckProductTriggers(SiteDatabase& db, bool somente_alterados, const CheckSink& add);

}  // namespace quilvane::sync
