#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/instance_lock.h"

namespace quilvane::service {

// The operator's switches. Each runs the same operations as the cycle, logs
// the same lines (echoed to standard error) and returns the exit status: 0
// on success, 1 on failure, 2 for wrong arguments. `env` gives the clock and
// the regional settings.

// The lock beside the program (sync/instance.h) for the switch `what`
// ("-IMPORT"), held until the switch ends; nullopt, after telling the
// operator on standard error who holds it, when another process does.
// Throws platform::SystemError when the lock file cannot be opened.
std::optional<platform::InstanceLock> TakeSwitchLock(const std::string& dir, const char* what);

// -EXPORT [FILE]: the exchange file of the local database, written to FILE
// (default: the cycle's exchange-file path), whatever the site's role and date.
int ExportCommand(const std::vector<std::string>& args, platform::Env& env);
// -IMPORT FILE: applies FILE when it is newer than the site's last
// synchronisation, and records its date as the cycle does. FILE may be the
// exchange archive itself (a name ending in ".ZIP"): its exchange file (the
// one the cycle takes out of it) is unpacked beside the program, its
// signature checked as the cycle checks it, imported, then deleted.
int ImportCommand(const std::vector<std::string>& args, bool dry_run, bool force,
                  platform::Env& env);
// -PACK FILE: the archive beside FILE (its name with ".ZIP"), signed when
// the key file is beside the program.
int PackCommand(const std::vector<std::string>& args, platform::Env& env);
// -KEYGEN: creates the key file beside the program, never over an existing
// one, and prints the "ChavePublica=" line for the branches' settings.
int KeygenCommand();
// -UNPACK ARCHIVE [FOLDER]: every member into FOLDER (default: the
// executable's folder).
int UnpackCommand(const std::vector<std::string>& args, platform::Env& env);

// -CHECK: whether the site's next cycle has what it needs. Prints one line
// per item ("OK", "AVISO" or "FALHA", the item, what was found and what to
// do) and a summary to standard output; writes nothing to the log. 0 when
// no item failed, 1 otherwise.
int CheckCommand(platform::Env& env);

}  // namespace quilvane::service
