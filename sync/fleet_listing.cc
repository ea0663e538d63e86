#include "sync/fleet_listing.h"

#include "sync/fleet_ftp.h"
#include "transfer/ftp_listing.h"

namespace quilvane::sync {
namespace {

void Add(ReceiptListing& listing, ListedReceipt receipt) {
  if (!IsReceiptName(receipt.name)) return;
  if (listing.receipts.size() >= kMaxReceipts) {
    ++listing.skipped;  // counted, so the page can say what it lacks
    return;
  }
  listing.receipts.push_back(std::move(receipt));
}

// The last word of a line, the one place a receipt's name (which has no
// blank) can be when nothing else of the line could be read.
std::string LastWord(const std::string& line) {
  const size_t end = line.find_last_not_of(" \t");
  if (end == std::string::npos) return {};
  const size_t start = line.find_last_of(" \t", end);
  return line.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1) + 1);
}

std::optional<ReceiptListing> ByMlsd(transfer::FtpClient& ftp) {
  std::vector<std::string> lines;
  try {
    ftp.ListMachine(lines);
  } catch (const transfer::FtpReplyError&) {
    return std::nullopt;
  }
  ReceiptListing listing{"MLSD", {}};
  for (const std::string& line : lines) {
    const auto entry = transfer::ParseMlsdLine(line);
    if (!entry || !entry->file) continue;
    Add(listing, {entry->name, FactsOf(*entry), false});
  }
  return listing;
}

std::optional<ReceiptListing> ByList(transfer::FtpClient& ftp, std::int64_t now) {
  std::vector<std::string> lines;
  try {
    ftp.ListDetails(lines);
  } catch (const transfer::FtpReplyError&) {
    return std::nullopt;
  }
  ReceiptListing listing{"LIST", {}};
  size_t readable = 0;
  size_t unreadable = 0;
  for (const std::string& line : lines) {
    if (line.empty() || line.starts_with("total ")) continue;
    if (const auto entry = transfer::ParseListLine(line, now)) {
      ++readable;
      if (entry->file) Add(listing, {entry->name, FactsOf(*entry), false});
    } else {
      // Read without facts, so a line in a format not known here never
      // hides a change.
      ++unreadable;
      Add(listing, {LastWord(line), std::nullopt, false});
    }
  }
  // A format not known at all: the names alone are surer.
  if (readable == 0 && unreadable > 0) return std::nullopt;
  return listing;
}

ReceiptListing ByNlst(transfer::FtpClient& ftp) {
  std::vector<std::string> names;
  ftp.List(names);
  ReceiptListing listing{"NLST", {}};
  for (std::string& name : names) Add(listing, {std::move(name), std::nullopt, true});
  return listing;
}

}  // namespace

std::optional<ReceiptFacts> FactsOf(const transfer::ListedEntry& entry) {
  if (!entry.size || !entry.modified) return std::nullopt;
  return ReceiptFacts{*entry.size, *entry.modified};
}

ReceiptListing ListReceipts(transfer::FtpClient& ftp, std::int64_t now) {
  if (ftp.offers_machine_listing()) {
    if (auto listing = ByMlsd(ftp)) return std::move(*listing);
  }
  if (auto listing = ByList(ftp, now)) return std::move(*listing);
  return ByNlst(ftp);
}

}  // namespace quilvane::sync
