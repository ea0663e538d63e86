#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/private_copy.h"

namespace quilvane::platform {

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
