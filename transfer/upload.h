#pragma once

#include <string>

#include "sync/log.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"

namespace quilvane::transfer {

// The remote name of the archive: the file name part of `arquivo` with the
// ASCII letters a-z in upper case.
std::string RemoteArchiveName(const std::string& arquivo);

// Sends the exchange archive `arquivo` (a full local path) into the exchange
// folder under its upper-case name, deleting the copy of an earlier day.
// Returns true when stored; false after logging a failed connection or a
// failed store. A failure while changing folder, listing or deleting leaves
// unlogged (platform::Error), after the connection was closed.
bool Upload(FtpClient& ftp, const ExchangeServer& server, const std::string& arquivo,
            sync::Log& log);

}  // namespace quilvane::transfer
