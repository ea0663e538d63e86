#include "sync/instance.h"

namespace quilvane::sync {

std::string BusyText(const std::optional<platform::LockHolder>& holder) {
  if (!holder) return "Quilvane já em execução (outro processo)";
  return "Quilvane já em execução (processo " + std::to_string(holder->pid) + ", " + holder->what +
         ")";
}

}  // namespace quilvane::sync
