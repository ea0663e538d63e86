#pragma once

#include <optional>
#include <string>
#include <vector>

#include "exchange/import.h"
#include "platform/datetime.h"
#include "sync/receipt.h"

namespace quilvane::sync {

// What a branch's cycle saw, for its receipt.
struct CycleFacts {
  std::string cgc;                 // the branch's own PADRAO.CGC
  std::string name;                // NomeFilial
  platform::DateTime started = 0;  // local
  int utc_offset_minutes = 0;
  std::int64_t duration_ms = 0;
  // Set when the import ran to its end; none when the cycle stopped before
  // (the download failed) or an error left it.
  std::optional<exchange::ImportResult> import;
  std::vector<std::string> log_lines;              // what the cycle logged, stamped
  std::optional<platform::DateTime> recorded_day;  // after the cycle
};

// The receipt of the cycle: `aplicado` or `sem_novidade` when the import ran
// to its end, else `falhou` with the cycle's log lines.
Receipt MakeCycleReceipt(const CycleFacts& facts);

}  // namespace quilvane::sync
