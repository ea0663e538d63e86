#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Record layouts of the ZIP format shared by the writer and the reader. All
// multi-byte fields are little-endian.
namespace quilvane::archive::zip {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kEncryptionHeaderSize = 12;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZip64EndRecordSize = 56;
// The end record's comment: its length is a 16-bit field.
constexpr size_t kMaxCommentSize = 0xFFFF;

// How far from the end the reader looks for the end record: the record, the
// longest comment, and some slack.
constexpr size_t kEndRecordSearch = 65600;
// Window of the scan for local headers when the directory is rebuilt.
constexpr size_t kRebuildWindow = 65535;
// Extra fields longer than this make a local header found by the rebuild scan
// count as a false hit.
constexpr size_t kRebuildMaxExtra = 260;

constexpr std::uint16_t kVersion20 = 20;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint16_t kMethodDeflate64 = 9;

constexpr std::uint16_t kZip64ExtraId = 0x0001;

constexpr std::uint32_t kMaxSize32 = 0xFFFFFFFF;
constexpr size_t kMaxUtf8NameBytes = 255;

// Local file header field offsets.
namespace local {
constexpr size_t kSignature = 0, kVersionNeeded = 4, kFlags = 6, kMethod = 8, kTime = 10,
                 kDate = 12, kCrc = 14, kCompressedSize = 18, kUncompressedSize = 22,
                 kNameLength = 26, kExtraLength = 28;
}  // namespace local

// Central directory file header field offsets.
namespace central {
constexpr size_t kSignature = 0, kVersionMadeBy = 4, kVersionNeeded = 6, kFlags = 8, kMethod = 10,
                 kTime = 12, kDate = 14, kCrc = 16, kCompressedSize = 20, kUncompressedSize = 24,
                 kNameLength = 28, kExtraLength = 30, kCommentLength = 32, kDiskStart = 34,
                 kInternalAttributes = 36, kExternalAttributes = 38, kLocalHeaderOffset = 42;
}  // namespace central

// End of central directory record field offsets.
namespace end {
constexpr size_t kSignature = 0, kDisk = 4, kDirectoryDisk = 6, kEntriesOnDisk = 8,
                 kTotalEntries = 10, kDirectorySize = 12, kDirectoryOffset = 16,
                 kCommentLength = 20;
}  // namespace end

inline std::uint16_t Get16(std::span<const std::uint8_t> b, size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t Get32(std::span<const std::uint8_t> b, size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint64_t Get64(std::span<const std::uint8_t> b, size_t at) {
  return static_cast<std::uint64_t>(Get32(b, at)) |
         (static_cast<std::uint64_t>(Get32(b, at + 4)) << 32);
}
inline void Put16(std::span<std::uint8_t> b, size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::span<std::uint8_t> b, size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The body of the first block of `extra` (id, size, body; a size that runs
// past the end is cut to what remains) with this id and at least
// `min_size` bytes.
inline std::optional<std::span<const std::uint8_t>> FindExtraBlock(const std::string& extra,
                                                                   std::uint16_t id,
                                                                   size_t min_size = 0) {
  const std::span<const std::uint8_t> x = Bytes(extra);
  size_t at = 0;
  while (x.size() - at >= 4) {
    const size_t size = std::min<size_t>(Get16(x, at + 2), x.size() - at - 4);
    if (Get16(x, at) == id && size >= min_size) return x.subspan(at + 4, size);
    at += 4 + size;
  }
  return std::nullopt;
}

}  // namespace quilvane::archive::zip
