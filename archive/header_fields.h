#pragma once

#include <cstdint>
#include <span>

#include "archive/dir_item.h"
#include "archive/zip_format.h"

// The run of fields a local header and a central header share, in the same
// order: version needed, flags, method, time, date, CRC-32, compressed and
// uncompressed size. `at` is where the run starts: the version-needed field
// (zip::local::kVersionNeeded or zip::central::kVersionNeeded).
namespace quilvane::archive {

namespace shared_field {
using namespace zip::local;
constexpr size_t kFlagsAt = kFlags - kVersionNeeded, kMethodAt = kMethod - kVersionNeeded,
                 kTimeAt = kTime - kVersionNeeded, kDateAt = kDate - kVersionNeeded,
                 kCrcAt = kCrc - kVersionNeeded, kCompressedAt = kCompressedSize - kVersionNeeded,
                 kUncompressedAt = kUncompressedSize - kVersionNeeded;
}  // namespace shared_field

inline void GetSharedFields(std::span<const std::uint8_t> b, size_t at, DirItem& item) {
  using namespace shared_field;
  item.version_needed = zip::Get16(b, at);
  item.flags = zip::Get16(b, at + kFlagsAt);
  item.method = zip::Get16(b, at + kMethodAt);
  item.time = zip::Get16(b, at + kTimeAt);
  item.date = zip::Get16(b, at + kDateAt);
  item.crc = zip::Get32(b, at + kCrcAt);
  item.compressed_size = zip::Get32(b, at + kCompressedAt);
  item.uncompressed_size = zip::Get32(b, at + kUncompressedAt);
}

inline void PutSharedFields(std::span<std::uint8_t> b, size_t at, const DirItem& item) {
  using namespace shared_field;
  zip::Put16(b, at, item.version_needed);
  zip::Put16(b, at + kFlagsAt, item.flags);
  zip::Put16(b, at + kMethodAt, item.method);
  zip::Put16(b, at + kTimeAt, item.time);
  zip::Put16(b, at + kDateAt, item.date);
  zip::Put32(b, at + kCrcAt, item.crc);
  zip::Put32(b, at + kCompressedAt, item.compressed_size);
  zip::Put32(b, at + kUncompressedAt, item.uncompressed_size);
}

}  // namespace quilvane::archive
