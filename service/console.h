#pragma once

#include <string>
#include <vector>

namespace quilvane::service {

// The program's arguments after its name, in UTF-8. On Windows also joins
// the console of the operator's command prompt, when there is one, so the
// operator switches write there.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The usage lines on running the program as a service and installing it,
// which differ by system.
const char* HostUsage();

#ifdef _WIN32
// Writes one line to the operator's console (standard error when `error`),
// when the process has one; nothing otherwise.
void WriteToConsole(const std::string& text, bool error);
#endif

}  // namespace quilvane::service
