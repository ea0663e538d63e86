#pragma once

#include <string_view>

namespace quilvane::platform {

// Where the program's messages go. The service's log file implements it;
// the layers below the service never log: they throw, and the operation
// that called them decides what the log says.
class Logger {
 public:
  virtual ~Logger() = default;

  // Writes one entry. Throws platform::Error when it cannot be written.
  virtual void DoSaveLog(std::string_view message) = 0;
};

}  // namespace quilvane::platform
