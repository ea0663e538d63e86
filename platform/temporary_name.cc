#include "platform/temporary_name.h"

#include <cstdint>
#include <cstdio>
#include <random>

namespace quilvane::platform {

std::string TemporaryName(const std::string& name) {
  std::random_device random;
  const std::uint64_t tag = (std::uint64_t{random()} << 32) ^ random();
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(tag));
  return name + "." + hex + ".tmp";
}

}  // namespace quilvane::platform
