#pragma once

// `quilvane -CHECK`: whether a site's next cycle has what it needs, item by
// item. Nothing the cycle would not change is changed: the database is only
// read, the settings and the log are not written, and on the exchange
// server only a probe file of a name no archive can have is stored and
// deleted again. Every network step runs with the cycle's time limits.
//
//   const auto results = sync::CheckSite(platform::ExecutableDir(), env);
//   for (const auto& r : results) ...;   // "OK     Banco de dados: ..."
//   return sync::SiteReady(results) ? 0 : 1;

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"

namespace quilvane::sync {

enum class CheckStatus {
  kOk,
  kWarning,  // "AVISO": something is off, but the cycle can do without it
  kFailure,  // "FALHA": the cycle cannot do its work until this is mended
};

// "OK", "AVISO" or "FALHA".
const char* CheckStatusText(CheckStatus status);

struct CheckResult {
  CheckStatus status = CheckStatus::kOk;
  std::string item;    // what was checked, e.g. "Banco de dados"
  std::string detail;  // what was found and, unless OK, what to do; one line
};

struct SiteCheckOptions {
  // The local clock compared with the exchange server's "Date", in seconds
  // since 1 January 1970 UTC; empty: the system clock.
  std::function<std::int64_t()> utc_now;
  // A larger difference from the exchange server's clock is an AVISO.
  std::chrono::seconds clock_tolerance{300};
  // Free space beside the program below `min_free_bytes` fails, below
  // `low_free_bytes` warns: the day's exchange file and its archive go there.
  std::uint64_t min_free_bytes = std::uint64_t{64} << 20;
  std::uint64_t low_free_bytes = std::uint64_t{512} << 20;
  // Called with each result as soon as it is known, so that an operator
  // sees the slow network steps go by.
  std::function<void(const CheckResult&)> on_result;
};

// Checks the site whose program, settings and log are in `dir` (with its
// trailing separator): the settings, the Firebird client, the database and
// the site's role, then the head office's FTP side or the branch's download
// addresses, the free space and the writability beside the program, the log
// and the clock. Never throws for what it finds. How each item is judged is
// in sync/site_check_verdicts.h.
std::vector<CheckResult> CheckSite(const std::string& dir, platform::Env& env,
                                   const SiteCheckOptions& options = {});

// Whether no item failed: the next cycle can do its work.
bool SiteReady(const std::vector<CheckResult>& results);

// The probe file's name on the exchange server and beside the program:
// "quilvane-check-<16 random hex digits>.tmp", never an exchange archive's
// name, and no name another local user could plant a link at beforehand.
std::string CheckProbeName();

}  // namespace quilvane::sync
