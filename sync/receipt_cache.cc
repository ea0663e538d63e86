#include "sync/receipt_cache.h"

#include <zlib.h>

#include <cstdio>

#include "platform/error.h"
#include "platform/file.h"
#include "sync/fleet_ftp.h"

namespace quilvane::sync {
namespace {

constexpr char kMagic[] = "QUILVANE-RECIBOS 1\n";
// How far a server's clock may be from ours before a stamp that looks old
// could still be the second a branch is writing in. LIST shows the server's
// local time in a zone it does not name, so the margin covers every zone.
constexpr std::int64_t kUtcMargin = 3600;
constexpr std::int64_t kZoneMargin = 15 * 3600;
// Bounds on what a cache file may claim, checked before anything is kept.
constexpr std::int64_t kMaxSeconds = 253402300799;  // 9999-12-31 23:59:59
constexpr std::int64_t kMaxResolution = 86400;
constexpr size_t kMaxServerText = 1024;

std::uint32_t Checksum(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (!bytes.empty()) {
    const uInt n = static_cast<uInt>(std::min<size_t>(bytes.size(), 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), n);
    bytes.remove_prefix(n);
  }
  return static_cast<std::uint32_t>(crc);
}

// Reads the cache's fields in order; any misstep leaves it failed.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  bool ok() const { return ok_; }
  bool done() const { return rest_.empty(); }

  bool Literal(std::string_view text) {
    if (!ok_ || !rest_.starts_with(text)) return ok_ = false;
    rest_.remove_prefix(text.size());
    return true;
  }

  // A decimal number up to `max` ended by `end`.
  std::int64_t Number(std::int64_t max, char end) {
    std::int64_t value = 0;
    size_t digits = 0;
    while (ok_ && digits < rest_.size() && rest_[digits] >= '0' && rest_[digits] <= '9') {
      value = value * 10 + (rest_[digits] - '0');
      if (value > max) ok_ = false;
      ++digits;
    }
    if (!ok_ || digits == 0 || digits >= rest_.size() || rest_[digits] != end) {
      ok_ = false;
      return 0;
    }
    rest_.remove_prefix(digits + 1);
    return value;
  }

  // Text up to a line feed, at most `max` bytes.
  std::string Line(size_t max) {
    const size_t end = rest_.find('\n');
    if (!ok_ || end == std::string_view::npos || end > max) {
      ok_ = false;
      return {};
    }
    std::string line(rest_.substr(0, end));
    rest_.remove_prefix(end + 1);
    return line;
  }

  std::string Bytes(size_t n) {
    if (!ok_ || rest_.size() < n) {
      ok_ = false;
      return {};
    }
    std::string bytes(rest_.substr(0, n));
    rest_.remove_prefix(n);
    return bytes;
  }

 private:
  std::string_view rest_;
  bool ok_ = true;
};

void Append(std::string& out, std::int64_t value, char end) {
  out += std::to_string(value);
  out += end;
}

}  // namespace

// QUILVANE-RECIBOS 1
// servidor <text>
// <count>
// then for each receipt: <size> <stamp> <resolution> <utc> <first_seen>
// <settled> <byte count> <name> LF <bytes> LF
// and last "crc <CRC-32 of all before, 8 hex digits>" LF.
std::string EncodeReceiptCache(const ReceiptCache& cache) {
  std::string out = kMagic;
  out += "servidor " + cache.server + "\n";
  Append(out, static_cast<std::int64_t>(cache.receipts.size()), '\n');
  for (const auto& [name, r] : cache.receipts) {
    Append(out, static_cast<std::int64_t>(r.facts.size), ' ');
    Append(out, r.facts.modified.seconds, ' ');
    Append(out, r.facts.modified.resolution, ' ');
    Append(out, r.facts.modified.utc ? 1 : 0, ' ');
    Append(out, r.first_seen, ' ');
    Append(out, r.settled ? 1 : 0, ' ');
    Append(out, static_cast<std::int64_t>(r.bytes.size()), ' ');
    out += name + "\n";
    out += r.bytes + "\n";
  }
  char crc[32];
  std::snprintf(crc, sizeof crc, "crc %08x\n", static_cast<unsigned>(Checksum(out)));
  return out + crc;
}

std::optional<ReceiptCache> DecodeReceiptCache(std::string_view bytes) {
  constexpr size_t kCrcLine = 13;  // "crc " + 8 hex digits + LF
  if (bytes.size() < kCrcLine) return std::nullopt;
  const std::string_view body = bytes.substr(0, bytes.size() - kCrcLine);
  char want[32];
  std::snprintf(want, sizeof want, "crc %08x\n", static_cast<unsigned>(Checksum(body)));
  if (bytes.substr(body.size()) != want) return std::nullopt;

  Reader in(body);
  ReceiptCache cache;
  in.Literal(kMagic);
  in.Literal("servidor ");
  cache.server = in.Line(kMaxServerText);
  const std::int64_t count = in.Number(static_cast<std::int64_t>(kMaxReceipts), '\n');
  for (std::int64_t i = 0; i < count && in.ok(); ++i) {
    CachedReceipt r;
    r.facts.size = static_cast<std::uint64_t>(
        in.Number(static_cast<std::int64_t>(transfer::kMaxListedSize), ' '));
    r.facts.modified.seconds = in.Number(kMaxSeconds, ' ');
    r.facts.modified.resolution = in.Number(kMaxResolution, ' ');
    r.facts.modified.utc = in.Number(1, ' ') == 1;
    r.first_seen = in.Number(kMaxSeconds, ' ');
    r.settled = in.Number(1, ' ') == 1;
    const auto size =
        static_cast<size_t>(in.Number(static_cast<std::int64_t>(kReceiptReadLimit), ' '));
    const std::string name = in.Line(kMaxReceiptName);
    r.bytes = in.Bytes(size);
    in.Literal("\n");
    if (!in.ok() || !IsReceiptName(name) || cache.receipts.contains(name)) return std::nullopt;
    cache.receipts.emplace(name, std::move(r));
  }
  if (!in.ok() || !in.done()) return std::nullopt;
  return cache;
}

std::optional<ReceiptCache> LoadReceiptCache(const std::string& path, const std::string& server) {
  std::string bytes;
  try {
    if (!platform::FileExists(path)) return std::nullopt;
    bytes = platform::ReadFileToString(path);
  } catch (const platform::Error&) {
    return std::nullopt;
  }
  auto cache = DecodeReceiptCache(bytes);
  if (!cache || cache->server != server) return std::nullopt;
  return cache;
}

void SaveReceiptCache(const std::string& path, const ReceiptCache& cache) {
  platform::WriteFileAtomically(path, EncodeReceiptCache(cache));
}

bool CacheHolds(const CachedReceipt& cached, const std::optional<ReceiptFacts>& listed) {
  return listed && cached.settled && cached.facts == *listed;
}

std::optional<CachedReceipt> AfterRead(const CachedReceipt* old,
                                       const std::optional<ReceiptFacts>& listed, std::int64_t now,
                                       std::string bytes) {
  if (!listed) return std::nullopt;
  CachedReceipt kept;
  kept.facts = *listed;
  kept.bytes = std::move(bytes);
  kept.first_seen = old && old->facts == *listed ? old->first_seen : now;
  const transfer::ListedTime& t = listed->modified;
  const std::int64_t margin = t.utc ? kUtcMargin : kZoneMargin;
  // Settled when the stamp is old past any clock difference, or when these
  // facts already stood at a listing longer ago than the stamp's resolution
  // (a later write within that stamp would have been in this read).
  kept.settled = t.seconds + t.resolution + margin <= now ||
                 (now >= kept.first_seen && now - kept.first_seen > t.resolution);
  return kept;
}

}  // namespace quilvane::sync
