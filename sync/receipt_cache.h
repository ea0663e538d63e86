#pragma once

// What the head office keeps of the receipts it has read, so that a refresh
// fetches only the receipts whose listing changed since: kReceiptCacheName
// beside the program. Each copy holds the facts (size, modification time)
// the listing showed when it was read. The file is only a shortcut: one that
// is missing, damaged or made for another server reads as no cache at all,
// and everything is fetched again.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "sync/receipt.h"
#include "sync/site_files.h"
#include "transfer/ftp_listing.h"

namespace quilvane::sync {

// A receipt is at most kMaxReceiptBytes; the margin lets the parser see that
// a longer one was cut rather than take a cut line as whole.
inline constexpr size_t kReceiptReadLimit = kMaxReceiptBytes + 4096;

// What a listing says of one receipt; both facts, or the copy is not trusted.
struct ReceiptFacts {
  std::uint64_t size = 0;
  transfer::ListedTime modified;
  friend bool operator==(const ReceiptFacts&, const ReceiptFacts&) = default;
};

struct CachedReceipt {
  ReceiptFacts facts;
  // The local clock (seconds since 1970, UTC) at the first listing that
  // showed these facts.
  std::int64_t first_seen = 0;
  // Whether these bytes are known to be the last write with these facts:
  // read after the stamp's resolution had surely passed. Until then a
  // rewrite of the same size within the same stamp would look unchanged.
  bool settled = false;
  std::string bytes;
  friend bool operator==(const CachedReceipt&, const CachedReceipt&) = default;
};

struct ReceiptCache {
  std::string server;  // whose receipts these are: host, port and account
  std::map<std::string, CachedReceipt> receipts;
  friend bool operator==(const ReceiptCache&, const ReceiptCache&) = default;
};

std::string EncodeReceiptCache(const ReceiptCache& cache);
// nullopt for anything but a whole file written by EncodeReceiptCache.
std::optional<ReceiptCache> DecodeReceiptCache(std::string_view bytes);

// The cache at `path` when it is whole and belongs to `server`; nullopt
// otherwise (missing, unreadable, damaged, another server's).
std::optional<ReceiptCache> LoadReceiptCache(const std::string& path, const std::string& server);
// Writes atomically; throws platform::Error.
void SaveReceiptCache(const std::string& path, const ReceiptCache& cache);

// Whether `cached` can stand for the receipt the listing shows with
// `listed` facts: the same facts, and settled.
bool CacheHolds(const CachedReceipt& cached, const std::optional<ReceiptFacts>& listed);

// The copy to keep after reading `bytes`, the listing taken at local time
// `now` having shown `listed` (none: nothing is kept, it is read every time).
std::optional<CachedReceipt> AfterRead(const CachedReceipt* old,
                                       const std::optional<ReceiptFacts>& listed, std::int64_t now,
                                       std::string bytes);

}  // namespace quilvane::sync
