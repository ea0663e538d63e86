#include "platform/machine_name.h"

#include <cstdlib>
#include <exception>

#include "platform/file.h"

namespace quilvane::platform {

std::string MachineName() {
  if (const char* name = std::getenv("COMPUTERNAME"); name != nullptr && *name != '\0') {
    return name;
  }
  try {
    if (FileExists("/etc/hostname")) {
      std::string name = ReadFileToString("/etc/hostname");
      return name.substr(0, name.find_first_of("\r\n"));
    }
  } catch (const std::exception&) {
    // An unreadable name is an unknown one.
  }
  return "";
}

}  // namespace quilvane::platform
