#pragma once

// Reading the receipts a listing named, on up to a few FTP connections at
// once, each on its own thread, within a deadline.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "sync/fleet_listing.h"
#include "sync/receipt_cache.h"
#include "transfer/ftp_client.h"

namespace quilvane::sync {

struct ReadTask {
  ListedReceipt listed;
  const CachedReceipt* cached = nullptr;  // the copy kept from before, if any
};

struct ReadOutcome {
  enum class State {
    kNotRun,     // no connection reached it in time
    kFromCache,  // SIZE and MDTM showed the kept copy still holds
    kRead,
    kRefused,  // the server refused to send it: `error` says why
  };
  State state = State::kNotRun;
  std::optional<ReceiptFacts> facts;  // the listing's, or SIZE and MDTM's
  std::string bytes;
  std::string error;
};

struct ReadRun {
  std::vector<ReadOutcome> outcomes;  // one per task, in order
  std::string connection_error;       // the last connection that failed, and why
  int connections = 1;                // connections that read, the first one included
};

// Opens one more connection in the receipts folder; throws platform::Error.
using OpenReceiptFolder = std::function<void(transfer::FtpClient&)>;

// Runs `tasks` on `first` (connected, in the receipts folder) and on up to
// `connections` - 1 more opened by `open`, none of them past `deadline`. A
// connection that fails hands its task back to the others and stops.
ReadRun ReadReceipts(transfer::FtpClient& first, const OpenReceiptFolder& open,
                     const std::vector<ReadTask>& tasks, int connections,
                     platform::Deadline deadline);

}  // namespace quilvane::sync
