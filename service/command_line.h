#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quilvane::service {

// The switches of the command line. A switch is an argument made of "-" or
// "/" and the switch's name, letter case ignored, anywhere among the
// arguments; the operator switches take the plain arguments that follow them.
struct CommandLine {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  bool once = false;
  bool help = false;
  bool version = false;
  bool dry_run = false;  // -DRYRUN, with -IMPORT
  bool force = false;    // -FORCE, with -IMPORT: a signed file older than the one applied
  bool check = false;    // -CHECK
  bool keygen = false;   // -KEYGEN
  // -STATUS with any plain arguments that follow it (it takes none).
  std::optional<std::vector<std::string>> status_args;
  // Operator switches with their arguments (empty optional: not given).
  std::optional<std::vector<std::string>> export_args;  // -EXPORT [FILE]
  std::optional<std::vector<std::string>> import_args;  // -IMPORT FILE
  std::optional<std::vector<std::string>> pack_args;    // -PACK FILE
  std::optional<std::vector<std::string>> unpack_args;  // -UNPACK ARCHIVE [FOLDER]
  std::vector<std::string> unknown;                     // unrecognised switches
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

// Whether the command line runs the service itself: no switch the program
// knows (unknown ones aside).
bool RunsTheService(const CommandLine& cl);

// Whether unknown switches end the program with the usage (exit status 2).
// Not when the service manager started the service: an argument added to
// its command by hand (ExecStart, ImagePath) must not keep it from running,
// so there they are ignored, as plain arguments are.
bool RefusesUnknownSwitches(const CommandLine& cl, bool started_by_service_manager);

}  // namespace quilvane::service
