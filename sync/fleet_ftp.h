#pragma once

// The fleet view's traffic with the exchange server: a branch stores its
// receipt in "quilvane/recibos"; the status command reads them all and
// stores the page as "quilvane/status.html". Failures throw platform::Error;
// logging them is the caller's.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "sync/site_files.h"
#include "sync/status_page.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"

namespace quilvane::sync {

inline constexpr char kReceiptFolder[] = "recibos";
// Receipts beyond this many are not read: no chain has them, a full folder
// must not stall the page.
inline constexpr size_t kMaxReceipts = 5000;
inline constexpr size_t kMaxReceiptName = 200;
// The whole read of the receipts at most takes this long, so that a slow or
// stalled server never holds the head office's cycle. A constant, not a
// setting: what it cuts short is kept in the cache and the next tick goes
// on from there, so no site has a reason to tune it. A first read of 2,000
// receipts over a 100 ms link fits in it.
inline constexpr std::chrono::seconds kRefreshBudget{300};
// Connections that read receipts at once.
inline constexpr int kMaxReadConnections = 4;

// Names a receipt can have: no path, no control character, a ".txt" end.
bool IsReceiptName(std::string_view name);

// Stores the local file as `name` in the receipts folder, creating the
// folder when missing. The connection is closed on every path.
void StoreReceiptFile(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                      const std::string& local_path, const std::string& name);

// How ReadFleet reads.
struct FleetReadOptions {
  // The receipts kept from the last read ("Quilvane.recibos" beside the
  // program); empty: none, every receipt is read.
  std::string cache_path;
  std::chrono::milliseconds budget = kRefreshBudget;
  int connections = kMaxReadConnections;
};

// Every receipt in the receipts folder (none when it does not exist yet).
// One listing tells which changed since the cache's copies; only those are
// fetched, each up to its size limit and a margin: one that cannot be read
// is a report saying why. `archive_name` is the head office's archive; its
// date on the server is the day the head office last published (nullopt
// when the server does not say). `env`'s clocks date the listing and the
// cache's copies, and turn the server's UTC stamp into a local day. Throws
// when the server cannot be reached, or the budget ran out before every
// receipt was read (what was read is kept in the cache all the same).
struct FleetRead {
  std::vector<BranchReport> reports;
  std::optional<Day> published_day;
  std::string listing;      // the command that listed the receipts
  size_t fetched = 0;       // receipts read from the server this time
  int connections = 0;      // connections that read them
  std::string cache_error;  // why the cache could not be written; empty when it was
  size_t unread = 0;        // receipts past kMaxReceipts, left unread
};
FleetRead ReadFleet(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                    const std::string& archive_name, platform::Env& env,
                    const FleetReadOptions& options = {});

// Stores the local page as "status.html" in the exchange folder.
void StoreStatusPage(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                     const std::string& local_path);

// The day of an MDTM answer ("YYYYMMDDHHMMSS", UTC) in local time, shifted
// by `utc_offset_minutes`; nullopt for anything else.
std::optional<Day> LocalDayOfMdtm(const std::string& mdtm, int utc_offset_minutes);

// The local clock's offset from UTC now, in minutes, rounded to 15.
int UtcOffsetMinutes(platform::Env& env);

}  // namespace quilvane::sync
