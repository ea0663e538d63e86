#pragma once

// The receipts folder in one listing with facts: "MLSD" where the server
// offers it, else "LIST", else "NLST" (whose names get their facts from
// "SIZE" and "MDTM" one by one, by whoever reads them).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sync/receipt_cache.h"
#include "transfer/ftp_client.h"

namespace quilvane::sync {

struct ListedReceipt {
  std::string name;
  // Both facts as the listing stated them; none when it did not state both
  // or a line could not be read: then the receipt is read.
  std::optional<ReceiptFacts> facts;
  // Listed by name only: "SIZE" and "MDTM" may still tell its facts.
  bool ask_facts = false;
};

struct ReceiptListing {
  std::string command;                  // "MLSD", "LIST" or "NLST"
  std::vector<ListedReceipt> receipts;  // receipt names only, at most kMaxReceipts
  size_t skipped = 0;                   // receipts past kMaxReceipts, left out
};

// Lists the current folder of a connected client. `now` is the local clock
// (seconds since 1970, UTC), for LIST's stamps without a year. Throws
// platform::Error when no listing could be had.
ReceiptListing ListReceipts(transfer::FtpClient& ftp, std::int64_t now);

// The facts of a LIST or MLSD line's entry, when it states both.
std::optional<ReceiptFacts> FactsOf(const transfer::ListedEntry& entry);

}  // namespace quilvane::sync
