#include "sync/site_operations.h"

#include "sync/stand_in_operations.h"

namespace quilvane::sync {

std::unique_ptr<Operations> MakeSiteOperations(const std::string&, Log& log) {
  return std::make_unique<StandInOperations>(log);
}

}  // namespace quilvane::sync
