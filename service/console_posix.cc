#include "service/console.h"

namespace quilvane::service {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace quilvane::service
