#include "platform/temporary_name.h"

#include "platform/random.h"

namespace quilvane::platform {

std::string TemporaryName(const std::string& name) { return name + "." + RandomTag() + ".tmp"; }

}  // namespace quilvane::platform
