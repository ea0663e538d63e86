#pragma once

#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/logger.h"
#include "sync/log.h"
#include "sync/operations.h"

namespace quilvane::sync {

// The operations of a real site: its database, its archive and the exchange
// server. `dir` is the site's folder; `log` and `env` must outlive them.
std::unique_ptr<Operations> MakeSiteOperations(const std::string& dir, platform::Logger& log,
                                               platform::Env& env);

}  // namespace quilvane::sync
