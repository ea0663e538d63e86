#pragma once

#include <string>
#include <vector>

#include "platform/env.h"

namespace quilvane::service {

// -STATUS: reads every branch's receipt from the exchange server named in
// Quilvane.ini, prints the table, worst first, writes "status.html" beside
// the program and stores it in the exchange folder. 0 when the receipts
// were read (a page the server refused is reported, the local one stays),
// 1 when the exchange server could not be reached, 2 for arguments.
int StatusCommand(const std::vector<std::string>& args, platform::Env& env);

}  // namespace quilvane::service
