// The head office's cache of receipts: a damaged file is no cache (never a
// wrong page), and a copy is trusted only once no rewrite can hide behind
// the same size and stamp.
#include "sync/receipt_cache.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "platform/file.h"
#include "sync/fleet_ftp.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

constexpr std::int64_t kNow = 1796904000;  // 2026-12-10 12:00:00 UTC

ReceiptCache Sample() {
  ReceiptCache cache;
  cache.server = "quilvane@127.0.0.1:21";
  cache.receipts["12345678000271.txt"] = {
      {812, {kNow - 7200, 1, true}}, kNow - 60, true, "recibo=1\r\ncgc=12.345.678/0002-71\r\n"};
  cache.receipts["sem-cgc-CAIXA 2.txt"] = {
      {3, {kNow - 86400 * 400, 86400, false}}, kNow, false, std::string("a\n\0", 3)};
  cache.receipts["98765432000110.txt"] = {{0, {0, 60, false}}, 0, false, ""};
  return cache;
}

// A body with a right checksum, so that only the checks behind it can
// refuse it.
std::string Sealed(const std::string& body) {
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(body.data()),
                          static_cast<uInt>(body.size()));
  char line[32];
  std::snprintf(line, sizeof line, "crc %08lx\n", crc);
  return body + line;
}

TEST(ReceiptCacheTest, RoundTrips) {
  const ReceiptCache cache = Sample();
  EXPECT_EQ(cache, DecodeReceiptCache(EncodeReceiptCache(cache)));
  const ReceiptCache empty{"x@h:21", {}};
  EXPECT_EQ(empty, DecodeReceiptCache(EncodeReceiptCache(empty)));
}

TEST(ReceiptCacheTest, AnyCutOrFlippedByteIsNoCache) {
  const std::string bytes = EncodeReceiptCache(Sample());
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_EQ(std::nullopt, DecodeReceiptCache(bytes.substr(0, n))) << "cut at " << n;
    std::string flipped = bytes;
    flipped[n] = static_cast<char>(flipped[n] ^ 0x04);
    EXPECT_EQ(std::nullopt, DecodeReceiptCache(flipped)) << "flipped at " << n;
  }
  EXPECT_EQ(std::nullopt, DecodeReceiptCache(bytes + "x"));
}

TEST(ReceiptCacheTest, ClaimsOutOfBoundsAreRefusedEvenWithARightChecksum) {
  const std::string head = "QUILVANE-RECIBOS 1\nservidor s\n";
  const auto entry = [](const std::string& numbers, const std::string& name,
                        const std::string& bytes) {
    return numbers + " " + name + "\n" + bytes + "\n";
  };
  struct Case {
    const char* what;
    std::string body;
    bool ok;
  };
  const Case cases[] = {
      {"well formed", head + "1\n" + entry("3 0 1 1 0 0 3", "1.txt", "abc"), true},
      {"more receipts than any chain", head + std::to_string(kMaxReceipts + 1) + "\n", false},
      {"a copy past the read limit",
       head + "1\n" +
           entry("3 0 1 1 0 0 " + std::to_string(kReceiptReadLimit + 1), "1.txt",
                 std::string(kReceiptReadLimit + 1, 'a')),
       false},
      {"a count that overflows", head + "99999999999999999999999\n", false},
      {"a negative size", head + "1\n" + entry("-3 0 1 1 0 0 3", "1.txt", "abc"), false},
      {"a resolution past a day", head + "1\n" + entry("3 0 86401 1 0 0 3", "1.txt", "abc"), false},
      {"a flag that is not 0 or 1", head + "1\n" + entry("3 0 1 2 0 0 3", "1.txt", "abc"), false},
      {"a path for a name", head + "1\n" + entry("3 0 1 1 0 0 3", "../1.txt", "abc"), false},
      {"the same name twice",
       head + "2\n" + entry("3 0 1 1 0 0 3", "1.txt", "abc") +
           entry("3 0 1 1 0 0 3", "1.txt", "abc"),
       false},
      {"fewer receipts than counted", head + "2\n" + entry("3 0 1 1 0 0 3", "1.txt", "abc"), false},
      {"bytes shorter than stated", head + "1\n" + entry("9 0 1 1 0 0 9", "1.txt", "abc"), false},
      {"another version", "QUILVANE-RECIBOS 2\nservidor s\n0\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.ok, DecodeReceiptCache(Sealed(c.body)).has_value());
  }
}

TEST(ReceiptCacheTest, LoadsOnlyAWholeCacheOfTheSameServer) {
  testing::TempDir dir;
  const std::string path = dir.File(kReceiptCacheName);
  EXPECT_EQ(std::nullopt, LoadReceiptCache(path, "quilvane@127.0.0.1:21"));  // missing
  SaveReceiptCache(path, Sample());
  EXPECT_EQ(Sample(), LoadReceiptCache(path, "quilvane@127.0.0.1:21"));
  EXPECT_EQ(std::nullopt, LoadReceiptCache(path, "quilvane@127.0.0.2:21"));
  dir.Write(kReceiptCacheName, "garbage");
  EXPECT_EQ(std::nullopt, LoadReceiptCache(path, "quilvane@127.0.0.1:21"));
  platform::DeleteFile(path);
  platform::CreateDirectories(path);  // a folder where the file should be
  EXPECT_EQ(std::nullopt, LoadReceiptCache(path, "quilvane@127.0.0.1:21"));
}

TEST(ReceiptCacheTest, CopyIsTrustedOnlyWhenNoRewriteCanHideInItsStamp) {
  const ReceiptFacts old_utc{812, {kNow - 2 * 3600, 1, true}};
  const ReceiptFacts fresh_utc{812, {kNow - 1, 1, true}};
  // LIST's stamps are in the server's zone: a few hours is no proof.
  const ReceiptFacts list_hours{812, {kNow - 3 * 3600, 60, false}};
  const ReceiptFacts list_days{812, {kNow - 2 * 86400, 60, false}};
  const CachedReceipt seen_fresh{fresh_utc, kNow - 120, false, "a"};
  const CachedReceipt seen_just_now{fresh_utc, kNow - 1, false, "a"};
  const CachedReceipt seen_later{fresh_utc, kNow + 60, false, "a"};  // the clock went back
  struct Case {
    const char* what;
    const CachedReceipt* old;
    std::optional<ReceiptFacts> listed;
    bool kept;
    bool settled;
  };
  const Case cases[] = {
      {"no facts: nothing kept", nullptr, std::nullopt, false, false},
      {"a stamp hours old", nullptr, old_utc, true, true},
      {"a stamp of this second", nullptr, fresh_utc, true, false},
      {"the same facts two minutes later", &seen_fresh, fresh_utc, true, true},
      {"the same facts within the stamp's second", &seen_just_now, fresh_utc, true, false},
      {"the same facts, the clock gone back", &seen_later, fresh_utc, true, false},
      {"LIST, hours old", nullptr, list_hours, true, false},
      {"LIST, days old", nullptr, list_days, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto kept = AfterRead(c.old, c.listed, kNow, "b");
    ASSERT_EQ(c.kept, kept.has_value());
    if (!kept) continue;
    EXPECT_EQ("b", kept->bytes);
    EXPECT_EQ(c.settled, kept->settled);
    EXPECT_EQ(c.settled, CacheHolds(*kept, c.listed));
  }
  const CachedReceipt settled{old_utc, kNow, true, "a"};
  EXPECT_TRUE(CacheHolds(settled, old_utc));
  EXPECT_FALSE(CacheHolds(settled, std::nullopt));
  EXPECT_FALSE(CacheHolds(settled, ReceiptFacts{813, old_utc.modified}));
  EXPECT_FALSE(CacheHolds(settled, ReceiptFacts{812, {kNow - 2 * 3600 + 1, 1, true}}));
}

}  // namespace
}  // namespace quilvane::sync
