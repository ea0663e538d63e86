#pragma once

// The one lock beside the program that the service's cycles and the
// operator's switches take, so that none of them changes the exchange file,
// the settings or the database while another does.

#include <optional>
#include <string>

#include "platform/instance_lock.h"
#include "sync/site_files.h"

namespace quilvane::sync {

// What the service's cycles write in the lock file; a switch writes its own
// name ("-IMPORT").
inline constexpr char kServiceLockOwner[] = "serviço";

// "Quilvane já em execução (processo 1234, -IMPORT)", or "(outro processo)"
// when the lock file does not say who.
std::string BusyText(const std::optional<platform::LockHolder>& holder);

}  // namespace quilvane::sync
