#include "service/console.h"

namespace quilvane::service {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

const char* HostUsage() {
  return "  quilvane                   run as a daemon (systemd starts it so); SIGTERM stops it\n"
         "                             after the running cycle\n"
         "  quilvane -INSTALL [-SILENT]    register the systemd unit SrvQuilvane.service\n"
         "  quilvane -UNINSTALL [-SILENT]  remove it\n";
}

}  // namespace quilvane::service
