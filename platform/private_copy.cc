#include <cstdio>
#include <random>

#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
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

void RemoveLeftoverPrivateCopies(const std::string& dir, const std::string& name) {
  constexpr std::size_t kTag = 1 + 16 + 4;  // ".<hex>.tmp"
  try {
    for (const std::string& entry : ListDirectory(dir)) {
      if (entry.size() != name.size() + kTag || entry.compare(0, name.size(), name) != 0 ||
          entry[name.size()] != '.' || entry.compare(entry.size() - 4, 4, ".tmp") != 0) {
        continue;
      }
      const std::string hex = entry.substr(name.size() + 1, 16);
      if (hex.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
      try {
        DeleteFile(dir + entry);
      } catch (const Error&) {
        // Still open elsewhere (Windows) or not ours to remove: left alone.
      }
    }
  } catch (const Error&) {
    // An unreadable folder: the copy about to be made will say why.
  }
}

}  // namespace quilvane::platform
