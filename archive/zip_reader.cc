#include "archive/zip_reader.h"

#include <algorithm>
#include <array>

#include "archive/archive_error.h"
#include "archive/header_fields.h"
#include "archive/member_stream.h"
#include "archive/name_rules.h"
#include "archive/zip_format.h"
#include "archive/zip_rebuild.h"
#include "platform/path.h"

namespace quilvane::archive {
namespace {

using platform::File;

// Compressed data is read and inflated in blocks of this size, with one
// output buffer of the same size; stored data is copied in smaller pieces.
constexpr size_t kReadBlock = 1048576;
constexpr size_t kStoredPiece = 65535;

// Saturated 32-bit fields take their values from the zip64 extra block.
// Values that do not fit 32 bits stay saturated, and such a member then
// fails its checks: the exchange never holds one.
void ApplyZip64Extra(DirItem& item) {
  if (item.uncompressed_size != zip::kMaxSize32 && item.compressed_size != zip::kMaxSize32 &&
      item.local_header_offset != zip::kMaxSize32) {
    return;
  }
  const auto block = zip::FindExtraBlock(item.extra, zip::kZip64ExtraId);
  if (!block) return;
  size_t p = 0;
  auto next = [&](auto& field) {
    if (field != zip::kMaxSize32) return;
    if (block->size() - p < 8) return;
    const std::uint64_t v = zip::Get64(*block, p);
    p += 8;
    if (v < zip::kMaxSize32) field = static_cast<std::remove_reference_t<decltype(field)>>(v);
  };
  next(item.uncompressed_size);
  next(item.compressed_size);
  next(item.local_header_offset);
}

File OpenForReading(const std::string& path) {
  try {
    return File(path, File::Mode::kRead);
  } catch (const platform::SystemError& e) {
    throw platform::Error(platform::CannotOpenFileText(path, e.code()));
  }
}

}  // namespace

ZipReader::ZipReader(const std::string& path, bool open_damaged) : file_(OpenForReading(path)) {
  const auto end = FindEndRecord();
  if (end && LoadDirectory(*end)) return;
  items_.clear();
  comment_.clear();
  if (!open_damaged) ThrowInvalidArchive();
  damaged_ = true;
  items_ = RebuildDirectory(file_);
  if (items_.empty()) ThrowInvalidArchive();
  directory_start_ = file_.size();
}

std::optional<ZipReader::EndRecord> ZipReader::FindEndRecord() {
  const std::int64_t file_size = file_.size();
  const std::int64_t tail_len =
      std::min<std::int64_t>(file_size, static_cast<std::int64_t>(zip::kEndRecordSearch));
  if (tail_len < 4) return std::nullopt;
  const std::int64_t tail_start = file_size - tail_len;
  std::vector<std::uint8_t> tail(static_cast<size_t>(tail_len));
  if (file_.ReadAt(tail_start, tail) != tail.size()) return std::nullopt;
  const std::span<const std::uint8_t> t(tail);
  constexpr std::int64_t kRecord = zip::kEndRecordSize;
  for (std::int64_t i = tail_len - 4; i >= 0; --i) {
    const size_t at = static_cast<size_t>(i);
    if (zip::Get32(t, at) != zip::kEndRecordSignature) continue;
    const std::int64_t pos = tail_start + i;
    if (file_size - pos < kRecord) continue;
    EndRecord e;
    e.position = pos;
    e.disk = zip::Get16(t, at + zip::end::kDisk);
    e.directory_disk = zip::Get16(t, at + zip::end::kDirectoryDisk);
    e.entries_on_disk = zip::Get16(t, at + zip::end::kEntriesOnDisk);
    e.total_entries = zip::Get16(t, at + zip::end::kTotalEntries);
    e.directory_size = zip::Get32(t, at + zip::end::kDirectorySize);
    e.directory_offset = zip::Get32(t, at + zip::end::kDirectoryOffset);
    e.comment_length = zip::Get16(t, at + zip::end::kCommentLength);
    if (e.disk < e.directory_disk || e.total_entries < e.entries_on_disk) continue;
    const std::int64_t size = e.directory_size;
    if (!(e.directory_size == zip::kMaxSize32 || size < pos + kRecord)) continue;
    if (!(e.directory_disk < e.disk || e.directory_offset == zip::kMaxSize32 ||
          static_cast<std::int64_t>(e.directory_offset) < pos + kRecord - size)) {
      continue;
    }
    // The comment must lie inside the file; its length field bounds it.
    if (file_size - (pos + kRecord) < e.comment_length) continue;
    comment_.assign(reinterpret_cast<const char*>(&tail[at + zip::kEndRecordSize]),
                    e.comment_length);
    e.directory_end = pos;
    e.directory_size64 = e.directory_size;
    e.entries64 = e.total_entries;
    ApplyZip64EndRecord(e);
    return e;
  }
  return std::nullopt;
}

void ZipReader::ApplyZip64EndRecord(EndRecord& end) {
  // Tools that stream (Info-ZIP reading standard input) put a zip64 end
  // record and its locator in front of the end record even for small
  // archives; the directory then ends where the zip64 record starts.
  std::array<std::uint8_t, zip::kZip64LocatorSize> locator{};
  const std::int64_t locator_at = end.position - std::int64_t{zip::kZip64LocatorSize};
  if (locator_at < 0 || file_.ReadAt(locator_at, locator) != locator.size() ||
      zip::Get32(locator, 0) != zip::kZip64LocatorSignature) {
    return;
  }
  // The record normally is the 56 bytes right before the locator; its
  // recorded offset would not account for a prefix.
  const std::int64_t record = locator_at - std::int64_t{zip::kZip64EndRecordSize};
  std::array<std::uint8_t, zip::kZip64EndRecordSize> z{};
  if (record < 0 || file_.ReadAt(record, z) != z.size() ||
      zip::Get32(z, 0) != zip::kZip64EndSignature) {
    return;
  }
  end.directory_end = record;
  if (end.total_entries == 0xFFFF) end.entries64 = zip::Get64(z, 32);
  if (end.directory_size == zip::kMaxSize32) end.directory_size64 = zip::Get64(z, 40);
}

bool ZipReader::LoadDirectory(const EndRecord& end) {
  // The directory is found from the end record's own position, so offsets
  // recorded relative to an archive with a stub in front still work.
  if (end.directory_size64 > static_cast<std::uint64_t>(end.directory_end)) return false;
  const std::int64_t start = end.directory_end - static_cast<std::int64_t>(end.directory_size64);
  // Every entry takes at least its fixed header: a count beyond that is a lie.
  if (end.entries64 > end.directory_size64 / zip::kCentralHeaderSize) return false;
  std::vector<std::uint8_t> dir(static_cast<size_t>(end.directory_size64));
  if (file_.ReadAt(start, dir) != dir.size()) return false;
  const std::span<const std::uint8_t> d(dir);
  // Copies the next `len` bytes of the directory into `field`.
  size_t at = 0;
  auto take = [&](std::string& field, size_t len) {
    field.assign(reinterpret_cast<const char*>(&dir[at]), len);
    at += len;
  };
  std::vector<DirItem> items;
  items.reserve(static_cast<size_t>(end.entries64));
  for (std::uint64_t i = 0; i < end.entries64; ++i) {
    if (dir.size() - at < zip::kCentralHeaderSize) return false;
    if (zip::Get32(d, at) != zip::kCentralHeaderSignature) return false;
    using namespace zip::central;
    DirItem item;
    item.version_made_by = zip::Get16(d, at + kVersionMadeBy);
    GetSharedFields(d, at + kVersionNeeded, item);
    const size_t name_len = zip::Get16(d, at + kNameLength);
    const size_t extra_len = zip::Get16(d, at + kExtraLength);
    const size_t comment_len = zip::Get16(d, at + kCommentLength);
    item.disk_start = zip::Get16(d, at + kDiskStart);
    item.internal_attributes = zip::Get16(d, at + kInternalAttributes);
    item.external_attributes = zip::Get32(d, at + kExternalAttributes);
    item.local_header_offset = zip::Get32(d, at + kLocalHeaderOffset);
    at += zip::kCentralHeaderSize;
    if (dir.size() - at < name_len) return false;
    take(item.stored_name, name_len);
    // An extra block or comment that runs past the end is cut to what remains.
    take(item.extra, std::min(extra_len, dir.size() - at));
    take(item.comment, std::min(comment_len, dir.size() - at));
    item.name = DecodeName(item.stored_name, (item.flags & zip::kFlagUtf8) != 0);
    ApplyZip64Extra(item);
    items.push_back(std::move(item));
  }
  items_ = std::move(items);
  directory_start_ = start;
  if (end.disk == 0) ResolvePrefix(file_, items_, directory_start_);
  return true;
}

void ZipReader::ReadMember(const DirItem& item, const std::string& password, File& out) {
  std::array<std::uint8_t, zip::kLocalHeaderSize> local{};
  if (file_.ReadAt(item.local_header_offset, local) != local.size()) {
    throw platform::Error("Stream read error");
  }
  const std::int64_t data_start =
      item.local_header_offset + static_cast<std::int64_t>(zip::kLocalHeaderSize) +
      zip::Get16(local, zip::local::kNameLength) + zip::Get16(local, zip::local::kExtraLength);
  std::int64_t length = item.compressed_size;
  if (data_start + length > directory_start_) {
    length = std::max<std::int64_t>(0, directory_start_ - data_start);
  }
  if (item.method == zip::kMethodDeflate64) {
    throw EArchiveError("Deflate64 compression method is not supported", kNativeDeflate64,
                        kMsgDeflate64);
  }
  if (item.method != zip::kMethodStored && item.method != zip::kMethodDeflate) {
    ThrowCorruptMember();
  }

  // The stages, bottom up: the data in the archive, decryption, inflation,
  // the size and CRC-32 check.
  std::optional<WindowSource> window;
  std::optional<DecryptingSource> decrypted;
  ByteSource* top = &window.emplace(file_, data_start, length);
  if (item.encrypted()) {
    // Without a password, or with one whose check byte does not match, the
    // member is not extracted; a service cannot ask for another one.
    auto wrong_password = [&] {
      return EArchiveError("Wrong password for file " + Quoted(item.name), kNativeWrongPassword,
                           kMsgWrongPassword);
    };
    if (password.empty()) throw wrong_password();
    std::array<std::uint8_t, zip::kEncryptionHeaderSize> header{};
    if (length < 12 || file_.ReadAt(data_start, header) != header.size()) ThrowCorruptMember();
    const std::uint8_t check =
        (zip::Get16(local, zip::local::kFlags) & zip::kFlagDataDescriptor)
            ? static_cast<std::uint8_t>(zip::Get16(local, zip::local::kTime) >> 8)
            : static_cast<std::uint8_t>(zip::Get32(local, zip::local::kCrc) >> 24);
    const PkwareKeys keys = DecryptHeader(password, header);
    if (header[11] != check) throw wrong_password();
    window.emplace(file_, data_start + 12, length - 12);
    top = &decrypted.emplace(*window, keys);
  }
  std::optional<InflatingSource> inflated;
  size_t piece = kStoredPiece;
  if (item.method == zip::kMethodDeflate) {
    const std::int64_t in_block =
        std::clamp<std::int64_t>(window->remaining(), 1, static_cast<std::int64_t>(kReadBlock));
    top = &inflated.emplace(*top, static_cast<size_t>(in_block));
    piece = kReadBlock;
  }
  CheckedSource checked(*top, item.uncompressed_size, item.crc);
  std::vector<std::uint8_t> buffer(piece);
  FileSink sink(out);
  Drain(checked, buffer, sink);

  // A data descriptor that disagrees with the directory means damage too.
  if (item.flags & zip::kFlagDataDescriptor) {
    std::array<std::uint8_t, 8> dd{};
    if (file_.ReadAt(data_start + static_cast<std::int64_t>(item.compressed_size), dd) ==
        dd.size()) {
      const bool signed_dd = zip::Get32(dd, 0) == zip::kDataDescriptorSignature;
      if (zip::Get32(dd, signed_dd ? 4 : 0) != item.crc) ThrowCorruptMember();
    }
  }
}

}  // namespace quilvane::archive
