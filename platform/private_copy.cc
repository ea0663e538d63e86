#include <cstdio>
#include <random>

#include "platform/private_copy.h"

namespace quilvane::platform {

std::string PrivateCopyName(const std::string& name) {
  // The system's random source: another local user must not guess the name
  // and plant a file (or a link) there first.
  std::random_device random;
  const std::uint64_t tag = (std::uint64_t{random()} << 32) ^ random();
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(tag));
  return name + "." + hex + ".tmp";
}

}  // namespace quilvane::platform
