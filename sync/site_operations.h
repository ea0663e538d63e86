#pragma once

#include <memory>
#include <string>

#include "sync/log.h"
#include "sync/operations.h"

namespace quilvane::sync {

// The operations of a real site: its database, its archive and the exchange
// server. `dir` is the site's folder.
std::unique_ptr<Operations> MakeSiteOperations(const std::string& dir, Log& log);

}  // namespace quilvane::sync
