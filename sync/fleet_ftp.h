#pragma once

// The fleet view's traffic with the exchange server: a branch stores its
// receipt in "quilvane/recibos"; the status command reads them all and
// stores the page as "quilvane/status.html". Failures throw platform::Error;
// logging them is the caller's.

#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "sync/status_page.h"
#include "transfer/exchange_server.h"
#include "transfer/ftp_client.h"

namespace quilvane::sync {

inline constexpr char kReceiptFolder[] = "recibos";
inline constexpr char kStatusPageName[] = "status.html";
// Receipts beyond this many are not read: no chain has them, a full folder
// must not stall the page.
inline constexpr size_t kMaxReceipts = 5000;

// Stores the local file as `name` in the receipts folder, creating the
// folder when missing. The connection is closed on every path.
void StoreReceiptFile(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                      const std::string& local_path, const std::string& name);

// Every receipt in the receipts folder (none when it does not exist yet),
// each read up to its size limit and a margin: one that cannot be read is a
// report saying why. `archive_name` is the head office's archive; its date
// on the server is the day the head office last published (nullopt when
// the server does not say). Throws when the server cannot be reached.
struct FleetRead {
  std::vector<BranchReport> reports;
  std::optional<Day> published_day;
  size_t unread = 0;  // receipts past kMaxReceipts, left unread
};
FleetRead ReadFleet(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                    const std::string& archive_name, platform::Env& env);

// Stores the local page as "status.html" in the exchange folder.
void StoreStatusPage(transfer::FtpClient& ftp, const transfer::ExchangeServer& server,
                     const std::string& local_path);

// The day of an MDTM answer ("YYYYMMDDHHMMSS", UTC) in local time, shifted
// by `utc_offset_minutes`; nullopt for anything else.
std::optional<Day> LocalDayOfMdtm(const std::string& mdtm, int utc_offset_minutes);

// The local clock's offset from UTC now, in minutes, rounded to 15.
int UtcOffsetMinutes(platform::Env& env);

}  // namespace quilvane::sync
