#include <clocale>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/process.h"
#include "service/command_line.h"
#include "service/console.h"
#include "service/host.h"
#include "service/operator_commands.h"
#include "service/status_command.h"

namespace {

// The lines on running and installing the service come from the host.
constexpr char kUsageTop[] =
    "Quilvane - Sincronizador de Preço de Produtos\n"
    "\n";
constexpr char kUsage[] =
    "  quilvane -CHECK            check what the next cycle needs, without changing\n"
    "                             anything; exit 1 when an item fails\n"
    "  quilvane -ONCE             run one cycle now; exit 1 when it ended in an error\n"
    "  quilvane -EXPORT [FILE]    write the exchange file of the local database\n"
    "  quilvane -IMPORT FILE      apply an exchange file brought by other means (FILE.SQL,\n"
    "                             or the archive DIGITS.ZIP: unpacked and its signature checked)\n"
    "  quilvane -IMPORT FILE -DRYRUN  what the import would do, rolled back: nothing changes\n"
    "  quilvane -IMPORT FILE -FORCE   also a signed file older than the newest one applied\n"
    "  quilvane -PACK FILE        pack FILE into the exchange archive beside it (signed when\n"
    "                             Quilvane.key is beside the program)\n"
    "  quilvane -UNPACK ARCHIVE [FOLDER]  extract every member (default: beside the program)\n"
    "  quilvane -KEYGEN           create the head office's signing key Quilvane.key beside\n"
    "                             the program and print the ChavePublica= line for the branches\n"
    "  quilvane -STATUS           read every branch's receipt, print the table and publish\n"
    "                             status.html (beside the program and on the exchange server)\n"
    "  quilvane -HELP | -VERSION\n"
    "\n"
    "Switches start with - or /, in any letter case. Settings: Quilvane.ini and\n"
    "tolmarc.ini beside the executable; log: Quilvane.log beside it.\n";

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  using namespace quilvane::service;
  const CommandLine cl = ParseCommandLine(ProgramArguments(argc, argv));
  // The one place that picks the process's clock and regional settings.
  quilvane::platform::Env& env = quilvane::platform::Env::Default();
  try {
    if (cl.install) return InstallService(cl.silent);
    if (cl.uninstall) return UninstallService(cl.silent);
    if (cl.help) {
      std::printf("%s%s%s", kUsageTop, HostUsage(), kUsage);
      return 0;
    }
    if (cl.version) {
      std::printf("quilvane %s\n", QUILVANE_VERSION);
      return 0;
    }
    if (RefusesUnknownSwitches(cl, quilvane::platform::StartedByServiceManager())) {
      std::fprintf(stderr, "Unknown switch: %s\n\n%s%s%s", cl.unknown.front().c_str(), kUsageTop,
                   HostUsage(), kUsage);
      return 2;
    }
    if (cl.check) return CheckCommand(env);
    if (cl.export_args) return ExportCommand(*cl.export_args, env);
    if (cl.import_args) return ImportCommand(*cl.import_args, cl.dry_run, cl.force, env);
    if (cl.dry_run) {
      std::fprintf(stderr, "-DRYRUN goes with -IMPORT FILE\n\n%s%s%s", kUsageTop, HostUsage(),
                   kUsage);
      return 2;
    }
    if (cl.keygen) return KeygenCommand();
    if (cl.pack_args) return PackCommand(*cl.pack_args, env);
    if (cl.unpack_args) return UnpackCommand(*cl.unpack_args, env);
    if (cl.status_args) return StatusCommand(*cl.status_args, env);
    if (cl.once) return RunOnce(env);
    return RunService(env);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kServiceName, e.what());
    return 1;
  }
}
