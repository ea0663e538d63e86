#pragma once

#include <string>
#include <vector>

#include "platform/env.h"

namespace quilvane::service {

// The operator's switches. Each runs the same operations as the cycle, logs
// the same lines (echoed to standard error) and returns the exit status: 0
// on success, 1 on failure, 2 for wrong arguments. `env` gives the clock and
// the regional settings.

// -EXPORT [FILE]: the exchange file of the local database, written to FILE
// (default: the cycle's exchange-file path), whatever the site's role and date.
int ExportCommand(const std::vector<std::string>& args, platform::Env& env);
// -IMPORT FILE: applies FILE when it is newer than the site's last
// synchronisation, and records its date as the cycle does.
int ImportCommand(const std::vector<std::string>& args, bool dry_run, platform::Env& env);
// -PACK FILE: the archive beside FILE (its name with ".ZIP").
int PackCommand(const std::vector<std::string>& args, platform::Env& env);
// -UNPACK ARCHIVE [FOLDER]: every member into FOLDER (default: the
// executable's folder).
int UnpackCommand(const std::vector<std::string>& args, platform::Env& env);

// -CHECK: whether the site's next cycle has what it needs. Prints one line
// per item ("OK", "AVISO" or "FALHA", the item, what was found and what to
// do) and a summary to standard output; writes nothing to the log. 0 when
// no item failed, 1 otherwise.
int CheckCommand(platform::Env& env);

}  // namespace quilvane::service
