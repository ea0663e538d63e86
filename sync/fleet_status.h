#pragma once

#include <string>

#include "platform/env.h"
#include "platform/logger.h"
#include "sync/red_branches.h"
#include "sync/settings.h"
#include "sync/status_page.h"
#include "transfer/ftp_client.h"

namespace quilvane::sync {

// Every receipt on the exchange server of `settings`, and the day the head
// office named by CNPJServidor last published; only the receipts that
// changed since are fetched, the others come from the cache in `dir`. A
// cache that cannot be written is logged to `log`. Throws platform::Error
// when the server cannot be reached or read, or the time ran out.
struct RefreshCounts {
  size_t receipts = 0;
  size_t fetched = 0;  // read from the server; the others came from the cache
  int connections = 0;
  std::string listing;  // the listing command
};
FleetStatus ReadFleetStatus(transfer::FtpClient& ftp, const Settings& settings,
                            const std::string& dir, platform::Env& env, platform::Logger& log,
                            RefreshCounts* counts = nullptr);

// Writes "status.html" into the folder `dir` (with its trailing separator)
// and returns its path.
std::string WriteStatusPage(const FleetStatus& status, const std::string& dir);

// The head office's tick with PublicarStatus: reads, writes the page beside
// the program, logs the branches that turned red or green (`watch`) and
// stores the page. Throws on any failure.
void RefreshStatusPage(transfer::FtpClient& ftp, const Settings& settings, const std::string& dir,
                       platform::Env& env, platform::Logger& log, RedBranchWatch& watch);

}  // namespace quilvane::sync
