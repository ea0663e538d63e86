#include "service/command_line.h"

#include "platform/text.h"

namespace quilvane::service {
namespace {

constexpr const char* kNames[] = {"INSTALL", "UNINSTALL", "SILENT", "ONCE", "HELP",   "?",
                                  "VERSION", "EXPORT",    "IMPORT", "PACK", "UNPACK", "DRYRUN",
                                  "STATUS",  "CHECK",     "KEYGEN", "FORCE"};

// "-" starts a switch; "/" only when a switch's name follows, since on
// POSIX an absolute path starts with "/" too.
bool IsSwitch(const std::string& arg) {
  if (arg.size() < 2) return false;
  if (arg[0] == '-') return true;
  if (arg[0] != '/') return false;
  const std::string name = platform::AsciiUpper(arg.substr(1));
  for (const char* known : kNames) {
    if (name == known) return true;
  }
  return false;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  std::vector<std::string>* collecting = nullptr;
  for (const std::string& arg : args) {
    if (!IsSwitch(arg)) {
      if (collecting) collecting->push_back(arg);
      continue;
    }
    collecting = nullptr;
    const std::string name = platform::AsciiUpper(arg.substr(1));
    if (name == "INSTALL")
      cl.install = true;
    else if (name == "UNINSTALL")
      cl.uninstall = true;
    else if (name == "SILENT")
      cl.silent = true;
    else if (name == "ONCE")
      cl.once = true;
    else if (name == "HELP" || name == "?")
      cl.help = true;
    else if (name == "VERSION")
      cl.version = true;
    else if (name == "DRYRUN")
      cl.dry_run = true;
    else if (name == "FORCE")
      cl.force = true;
    else if (name == "KEYGEN")
      cl.keygen = true;
    else if (name == "CHECK")
      cl.check = true;
    else if (name == "EXPORT")
      collecting = &cl.export_args.emplace();
    else if (name == "IMPORT")
      collecting = &cl.import_args.emplace();
    else if (name == "PACK")
      collecting = &cl.pack_args.emplace();
    else if (name == "UNPACK")
      collecting = &cl.unpack_args.emplace();
    else if (name == "STATUS")
      collecting = &cl.status_args.emplace();
    else
      cl.unknown.push_back(arg);
  }
  return cl;
}

bool RunsTheService(const CommandLine& cl) {
  return !cl.install && !cl.uninstall && !cl.help && !cl.version && !cl.once && !cl.dry_run &&
         !cl.force && !cl.check && !cl.keygen && !cl.export_args && !cl.import_args &&
         !cl.pack_args && !cl.unpack_args && !cl.status_args;
}

bool RefusesUnknownSwitches(const CommandLine& cl, bool started_by_service_manager) {
  return !cl.unknown.empty() && !(started_by_service_manager && RunsTheService(cl));
}

}  // namespace quilvane::service
