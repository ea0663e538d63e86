// The read path of the archiver: finding the end record, loading or
// rebuilding the directory, and extracting members with their checks.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "archive/dos_time.h"
#include "archive/name_rules.h"
#include "archive/zip_archiver.h"
#include "archive/zip_format.h"
#include "archive/zstream.h"
#include "platform/error_kinds.h"
#include "platform/file.h"

namespace quilvane::archive {
namespace {

using platform::File;

constexpr size_t kReadBlock = 1048576;
constexpr size_t kStoredPiece = 65535;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

[[noreturn]] void ThrowCorrupt() {
  throw EArchiveError("Invalid size or check sum of file or unsupported compression format",
                      kNativeCorruptMember, kMsgInvalidSizeOrChecksum);
}

std::uint32_t Sig(const std::uint8_t* p) {
  return zip::Get32(std::span<const std::uint8_t>(p, 4), 0);
}

// Saturated 32-bit fields take their values from the zip64 extra block.
// Values that do not fit 32 bits stay saturated, and such a member then
// fails its checks: the exchange never holds one.
void ApplyZip64Extra(DirItem& item) {
  if (item.uncompressed_size != zip::kMaxSize32 && item.compressed_size != zip::kMaxSize32 &&
      item.local_header_offset != zip::kMaxSize32) {
    return;
  }
  const auto* e = reinterpret_cast<const std::uint8_t*>(item.extra.data());
  const std::span<const std::uint8_t> x(e, item.extra.size());
  size_t at = 0;
  while (x.size() - at >= 4) {
    const std::uint16_t id = zip::Get16(x, at);
    const size_t size = std::min<size_t>(zip::Get16(x, at + 2), x.size() - at - 4);
    if (id == 0x0001) {
      size_t p = at + 4;
      const size_t stop = at + 4 + size;
      auto next = [&](auto& field) {
        if (field != zip::kMaxSize32) return;
        if (stop - p < 8) return;
        const std::uint64_t v = static_cast<std::uint64_t>(zip::Get32(x, p)) |
                                (static_cast<std::uint64_t>(zip::Get32(x, p + 4)) << 32);
        p += 8;
        if (v < zip::kMaxSize32) field = static_cast<std::remove_reference_t<decltype(field)>>(v);
      };
      next(item.uncompressed_size);
      next(item.compressed_size);
      next(item.local_header_offset);
      return;
    }
    at += 4 + size;
  }
}

}  // namespace

bool DirItem::is_folder() const {
  return (external_attributes & platform::kAttrDirectory) ||
         (!name.empty() && (name.back() == '/' || name.back() == '\\'));
}


size_t TZipArchiver::ReadAt(std::int64_t offset, std::span<std::uint8_t> out) {
  if (offset < 0 || offset >= file_size_) return 0;
  file_.Seek(offset);
  size_t got = 0;
  while (got < out.size()) {
    const size_t n = file_.Read(out.subspan(got));
    if (n == 0) break;
    got += n;
  }
  return got;
}

std::optional<TZipArchiver::EndRecord> TZipArchiver::FindEndRecord() {
  const std::int64_t tail_len =
      std::min<std::int64_t>(file_size_, static_cast<std::int64_t>(zip::kEndRecordSearch));
  if (tail_len < 4) return std::nullopt;
  const std::int64_t tail_start = file_size_ - tail_len;
  std::vector<std::uint8_t> tail(static_cast<size_t>(tail_len));
  if (ReadAt(tail_start, tail) != tail.size()) return std::nullopt;
  const std::span<const std::uint8_t> t(tail);
  for (std::int64_t i = tail_len - 4; i >= 0; --i) {
    if (Sig(&tail[static_cast<size_t>(i)]) != zip::kEndRecordSignature) continue;
    const std::int64_t pos = tail_start + i;
    if (file_size_ - pos < static_cast<std::int64_t>(zip::kEndRecordSize)) continue;
    const size_t at = static_cast<size_t>(i);
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
    if (!(e.directory_size == zip::kMaxSize32 || size < pos + 22)) continue;
    if (!(e.directory_disk < e.disk || e.directory_offset == zip::kMaxSize32 ||
          static_cast<std::int64_t>(e.directory_offset) < pos + 22 - size)) {
      continue;
    }
    if (file_size_ - (pos + 22) < e.comment_length) continue;
    comment_.assign(reinterpret_cast<const char*>(&tail[at + 22]), e.comment_length);
    e.directory_end = pos;
    e.directory_size64 = e.directory_size;
    e.entries64 = e.total_entries;
    ApplyZip64EndRecord(e);
    return e;
  }
  return std::nullopt;
}

void TZipArchiver::ApplyZip64EndRecord(EndRecord& end) {
  // Tools that stream (Info-ZIP reading standard input) put a zip64 end
  // record and its locator in front of the end record even for small
  // archives; the directory then ends where the zip64 record starts.
  constexpr std::uint32_t kLocatorSignature = 0x07064B50;
  constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
  std::array<std::uint8_t, 20> locator{};
  if (end.position < 20 || ReadAt(end.position - 20, locator) != 20 ||
      zip::Get32(locator, 0) != kLocatorSignature) {
    return;
  }
  // The record normally is the 56 bytes right before the locator; its
  // recorded offset would not account for a prefix.
  const std::int64_t record = end.position - 20 - 56;
  std::array<std::uint8_t, 56> z{};
  if (record < 0 || ReadAt(record, z) != z.size() || zip::Get32(z, 0) != kZip64EndSignature) {
    return;
  }
  auto get64 = [&](size_t at) {
    return static_cast<std::uint64_t>(zip::Get32(z, at)) |
           (static_cast<std::uint64_t>(zip::Get32(z, at + 4)) << 32);
  };
  end.directory_end = record;
  if (end.total_entries == 0xFFFF) end.entries64 = get64(32);
  if (end.directory_size == zip::kMaxSize32) end.directory_size64 = get64(40);
}

bool TZipArchiver::LoadDirectory(const EndRecord& end) {
  // The directory is found from the end record's own position, so offsets
  // recorded relative to an archive with a stub in front still work.
  if (end.directory_size64 > static_cast<std::uint64_t>(end.directory_end)) return false;
  const std::int64_t start = end.directory_end - static_cast<std::int64_t>(end.directory_size64);
  // Every entry takes at least its fixed header: a count beyond that is a lie.
  if (end.entries64 > end.directory_size64 / zip::kCentralHeaderSize) return false;
  std::vector<std::uint8_t> dir(static_cast<size_t>(end.directory_size64));
  if (ReadAt(start, dir) != dir.size()) return false;
  const std::span<const std::uint8_t> d(dir);
  size_t at = 0;
  std::vector<DirItem> items;
  items.reserve(static_cast<size_t>(end.entries64));
  for (std::uint64_t i = 0; i < end.entries64; ++i) {
    if (dir.size() - at < zip::kCentralHeaderSize) return false;
    if (zip::Get32(d, at) != zip::kCentralHeaderSignature) return false;
    using namespace zip::central;
    DirItem item;
    item.version_made_by = zip::Get16(d, at + kVersionMadeBy);
    item.version_needed = zip::Get16(d, at + kVersionNeeded);
    item.flags = zip::Get16(d, at + kFlags);
    item.method = zip::Get16(d, at + kMethod);
    item.time = zip::Get16(d, at + kTime);
    item.date = zip::Get16(d, at + kDate);
    item.crc = zip::Get32(d, at + kCrc);
    item.compressed_size = zip::Get32(d, at + kCompressedSize);
    item.uncompressed_size = zip::Get32(d, at + kUncompressedSize);
    const size_t name_len = zip::Get16(d, at + kNameLength);
    const size_t extra_len = zip::Get16(d, at + kExtraLength);
    const size_t comment_len = zip::Get16(d, at + kCommentLength);
    item.disk_start = zip::Get16(d, at + kDiskStart);
    item.internal_attributes = zip::Get16(d, at + kInternalAttributes);
    item.external_attributes = zip::Get32(d, at + kExternalAttributes);
    item.local_header_offset = zip::Get32(d, at + kLocalHeaderOffset);
    at += zip::kCentralHeaderSize;
    if (dir.size() - at < name_len) return false;
    item.stored_name.assign(reinterpret_cast<const char*>(&dir[at]), name_len);
    at += name_len;
    // An extra block that runs past the end is cut to what remains.
    const size_t extra = std::min(extra_len, dir.size() - at);
    item.extra.assign(reinterpret_cast<const char*>(&dir[at]), extra);
    at += extra;
    const size_t comment = std::min(comment_len, dir.size() - at);
    item.comment.assign(reinterpret_cast<const char*>(&dir[at]), comment);
    at += comment;
    item.name = DecodeName(item.stored_name, (item.flags & zip::kFlagUtf8) != 0);
    ApplyZip64Extra(item);
    items.push_back(std::move(item));
  }
  items_ = std::move(items);
  directory_start_ = start;
  if (end.disk == 0) ResolvePrefix();
  return true;
}

void TZipArchiver::ResolvePrefix() {
  if (items_.empty()) return;
  const DirItem& first = items_.front();
  std::int64_t prefix = -1;
  std::vector<std::uint8_t> window(zip::kRebuildWindow + 3);
  std::array<std::uint8_t, zip::kLocalHeaderSize> h{};
  for (std::int64_t base = first.local_header_offset; base < directory_start_ && prefix < 0;
       base += zip::kRebuildWindow) {
    const size_t got = ReadAt(base, window);
    if (got < 4) break;
    for (size_t i = 0; i + 4 <= got && i < zip::kRebuildWindow; ++i) {
      if (Sig(&window[i]) != zip::kLocalHeaderSignature) continue;
      const std::int64_t pos = base + static_cast<std::int64_t>(i);
      if (pos == 0) {
        prefix = 0;
        break;
      }
      if (ReadAt(pos, h) != h.size()) continue;
      using namespace zip::local;
      if (zip::Get16(h, kVersionNeeded) == first.version_needed &&
          zip::Get16(h, kMethod) == first.method && zip::Get16(h, kTime) == first.time &&
          zip::Get16(h, kDate) == first.date && zip::Get32(h, kCrc) == first.crc &&
          zip::Get32(h, kCompressedSize) == first.compressed_size &&
          zip::Get32(h, kUncompressedSize) == first.uncompressed_size) {
        prefix = pos;
        break;
      }
    }
  }
  if (prefix <= 0) return;
  for (const DirItem& item : items_) {
    if (item.compressed_size != 0) {
      if (item.local_header_offset >= prefix) return;
      break;
    }
  }
  for (DirItem& item : items_) {
    if (!(item.external_attributes & platform::kAttrDirectory)) item.local_header_offset += prefix;
  }
}

bool TZipArchiver::FindDataDescriptor(std::int64_t data_start, DirItem& item, bool zip64) {
  // A descriptor ends the data: the CRC-32 and the two sizes (8 bytes each
  // after a zip64 local header), with or without a signature in front. Its
  // compressed size must match the distance from the data's start, and one
  // without a signature must be followed by another record or the file's end.
  const std::int64_t width = zip64 ? 8 : 4;
  const std::int64_t body = 4 + 2 * width;
  std::array<std::uint8_t, 24> dd{};
  auto size_at = [&](size_t at) {
    std::uint64_t v = zip::Get32(dd, at);
    if (zip64) v |= static_cast<std::uint64_t>(zip::Get32(dd, at + 4)) << 32;
    return v;
  };
  // Tries a descriptor body (CRC first) at `at` for data ending at `end`.
  auto try_body = [&](std::int64_t at, std::int64_t end) {
    if (end < data_start) return false;
    if (ReadAt(at, std::span<std::uint8_t>(dd.data(), static_cast<size_t>(body))) !=
        static_cast<size_t>(body)) {
      return false;
    }
    const std::uint64_t compressed = size_at(4);
    const std::uint64_t uncompressed = size_at(4 + static_cast<size_t>(width));
    if (compressed != static_cast<std::uint64_t>(end - data_start)) return false;
    if (compressed >= zip::kMaxSize32 || uncompressed >= zip::kMaxSize32) return false;
    item.crc = zip::Get32(dd, 0);
    item.compressed_size = static_cast<std::uint32_t>(compressed);
    item.uncompressed_size = static_cast<std::uint32_t>(uncompressed);
    return true;
  };
  std::vector<std::uint8_t> window(zip::kRebuildWindow + 4);
  for (std::int64_t base = data_start; base <= file_size_; base += zip::kRebuildWindow) {
    // Many streamed headers in a large damaged file must not turn the
    // rebuild into hours of scanning: the searches share one budget.
    if (descriptor_scan_budget_ <= 0) return false;
    descriptor_scan_budget_ -= static_cast<std::int64_t>(zip::kRebuildWindow);
    const size_t got = ReadAt(base, window);
    const size_t limit = std::min<size_t>(got, zip::kRebuildWindow);
    for (size_t i = 0; i <= limit; ++i) {
      const std::int64_t pos = base + static_cast<std::int64_t>(i);
      if (pos == file_size_) return try_body(pos - body, pos - body);
      if (i == limit || i + 4 > got || window[i] != 'P' || window[i + 1] != 'K') continue;
      const std::uint32_t sig = Sig(&window[i]);
      if (sig == zip::kDataDescriptorSignature && try_body(pos + 4, pos)) return true;
      if ((sig == zip::kLocalHeaderSignature || sig == zip::kCentralHeaderSignature ||
           sig == zip::kEndRecordSignature) &&
          try_body(pos - body, pos - body)) {
        return true;
      }
    }
    if (got <= zip::kRebuildWindow) break;
  }
  return false;
}

// The zip64 extra block of a local header: the uncompressed and compressed
// sizes, when present.
static std::optional<std::pair<std::uint64_t, std::uint64_t>> LocalZip64Sizes(const std::string& extra) {
  const auto* e = reinterpret_cast<const std::uint8_t*>(extra.data());
  const std::span<const std::uint8_t> x(e, extra.size());
  size_t at = 0;
  while (x.size() - at >= 4) {
    const std::uint16_t id = zip::Get16(x, at);
    const size_t size = std::min<size_t>(zip::Get16(x, at + 2), x.size() - at - 4);
    if (id == 0x0001 && size >= 16) {
      auto get64 = [&](size_t p) {
        return static_cast<std::uint64_t>(zip::Get32(x, p)) |
               (static_cast<std::uint64_t>(zip::Get32(x, p + 4)) << 32);
      };
      return std::make_pair(get64(at + 4), get64(at + 12));
    }
    at += 4 + size;
  }
  return std::nullopt;
}

void TZipArchiver::RebuildDirectory() {
  damaged_ = true;
  descriptor_scan_budget_ = 4 * file_size_ + (std::int64_t{256} << 20);
  std::vector<DirItem> items;
  std::vector<std::uint8_t> window(zip::kRebuildWindow + 3);
  std::array<std::uint8_t, zip::kLocalHeaderSize> h{};
  std::int64_t next = 0;  // the scan resumes 4 bytes after each header taken
  for (std::int64_t base = 0; base < file_size_; base += zip::kRebuildWindow) {
    const size_t got = ReadAt(base, window);
    for (size_t i = 0; i + 4 <= got && i < zip::kRebuildWindow; ++i) {
      const std::int64_t pos = base + static_cast<std::int64_t>(i);
      if (pos < next || Sig(&window[i]) != zip::kLocalHeaderSignature) continue;
      if (ReadAt(pos, h) != h.size()) continue;
      using namespace zip::local;
      std::uint64_t compressed = zip::Get32(h, kCompressedSize);
      const size_t name_len = zip::Get16(h, kNameLength);
      const size_t extra_len = zip::Get16(h, kExtraLength);
      if (extra_len > zip::kRebuildMaxExtra) continue;
      std::string name_extra(name_len + extra_len, '\0');
      const size_t have = ReadAt(
          pos + 30, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(name_extra.data()),
                                            name_extra.size()));
      name_extra.resize(have);
      const std::string extra = have > name_len ? name_extra.substr(name_len) : std::string();
      const auto zip64 = LocalZip64Sizes(extra);
      if (compressed == zip::kMaxSize32 && zip64) compressed = zip64->second;
      if (compressed >= static_cast<std::uint64_t>(file_size_)) continue;
      DirItem item;
      item.version_made_by = 20;
      item.version_needed = zip::Get16(h, kVersionNeeded);
      item.flags = zip::Get16(h, kFlags);
      item.method = zip::Get16(h, kMethod);
      item.time = zip::Get16(h, kTime);
      item.date = zip::Get16(h, kDate);
      item.crc = zip::Get32(h, kCrc);
      item.compressed_size = static_cast<std::uint32_t>(compressed);
      item.uncompressed_size = zip::Get32(h, kUncompressedSize);
      if (item.uncompressed_size == zip::kMaxSize32 && zip64 && zip64->first < zip::kMaxSize32) {
        item.uncompressed_size = static_cast<std::uint32_t>(zip64->first);
      }
      item.local_header_offset = pos;
      item.stored_name = name_extra.substr(0, std::min(name_len, have));
      item.extra = extra;
      item.name = DecodeName(item.stored_name, (item.flags & zip::kFlagUtf8) != 0);
      if (item.flags & zip::kFlagDataDescriptor) {
        FindDataDescriptor(pos + 30 + static_cast<std::int64_t>(name_len + extra_len), item,
                           zip64.has_value());
      }
      // Only a name that ends in a separator is a folder: an empty file is
      // still a file.
      item.external_attributes = item.is_folder() ? platform::kAttrDirectory : platform::kAttrArchive;
      items.push_back(std::move(item));
      next = pos + 4;
    }
  }
  if (items.empty()) {
    file_ = File();
    throw EArchiveError("Invalid archive file.", kNativeInvalidArchive, kMsgInvalidArchive);
  }
  items_ = std::move(items);
  directory_start_ = file_size_;
}

std::optional<size_t> TZipArchiver::FindRootItem(const std::string& name) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    const std::string& n = items_[i].name;
    if (n.find_first_of("/\\") == std::string::npos && !items_[i].is_folder() &&
        EqualsIgnoreCase(n, name)) {
      return i;
    }
  }
  return std::nullopt;
}

void TZipArchiver::ExtractFiles(const std::string& file_mask, std::uint32_t search_attr,
                                const std::string& exclusion_mask) {
  if (!active_ || writing_) throw EArchiveError("Archive is not open", kNativeNotOpen, kMsgNotOpen);
  std::string mask = file_mask;
  if (const auto star = mask.find("*.*"); star != std::string::npos) mask.replace(star, 3, "*");
  constexpr std::uint32_t kSpecialBits = 0x02 | 0x04 | 0x08 | 0x10;
  for (size_t i = 0; i < items_.size(); ++i) {
    const DirItem& item = items_[i];
    const std::string base = BaseName(item.name);
    if (!MatchesMask(item.name, mask) && !MatchesMask(base, mask)) continue;
    if (!exclusion_mask.empty() &&
        (MatchesMask(item.name, exclusion_mask) || MatchesMask(base, exclusion_mask))) {
      continue;
    }
    if ((item.external_attributes & kSpecialBits & ~search_attr) != 0) continue;
    ExtractItem(i);
  }
}

void TZipArchiver::ExtractItem(size_t index) {
  if (!active_ || writing_) throw EArchiveError("Archive is not open", kNativeNotOpen, kMsgNotOpen);
  const DirItem& item = items_.at(index);
  const auto relative = SafeRelativePath(item.name);
  if (!relative) {
    throw EArchiveError("Cannot extract " + Quoted(item.name) + " outside the destination folder",
                        kNativeUnsafeName, kMsgUnsafeName);
  }
  std::string dest = BaseDir;
  if (!dest.empty() && dest.back() != '/' && dest.back() != '\\') dest += platform::PathSeparator();
  const std::string rel = *relative;
  const auto slash = rel.rfind('/');
  const std::string folder = dest + (slash == std::string::npos ? "" : rel.substr(0, slash + 1));
  if (CreateDirs && !folder.empty() && !platform::DirectoryExists(folder)) {
    try {
      platform::CreateDirectories(folder);
    } catch (const platform::Error&) {
      throw EArchiveError("Cannot create directory " + Quoted(folder), kNativeCannotCreateDir,
                          kMsgCannotCreateDir);
    }
  }
  if (item.is_folder()) return;
  const std::string out_path = dest + rel;
  if (platform::DirectoryExists(out_path) ||
      (!ReplaceReadOnly && platform::FileExists(out_path) &&
       (platform::GetFileInfo(out_path).attributes & platform::kAttrReadOnly))) {
    throw EArchiveError("Cannot create file " + Quoted(out_path), kNativeCannotCreateFile,
                        kMsgCannotCreateFile);
  }
  // The member is written beside its final name and renamed over it only when
  // every check passed, so a failure never leaves partial content behind.
  const std::string part_path = out_path + ".part";
  File out;
  try {
    out = File(part_path, File::Mode::kCreate);
  } catch (const platform::Error&) {
    throw EArchiveError("Cannot create file " + Quoted(out_path), kNativeCannotCreateFile,
                        kMsgCannotCreateFile);
  }
  try {
    ReadMemberData(item, out);
    // Flushing to the device is only asked for removable drives, which a
    // service's own folder never is.
    out.Close();
    if (const auto when = FromDosDateTime({item.time, item.date})) {
      platform::SetFileTime(part_path, *when);
    }
    // Hidden, system and read-only bits from an archive are never applied.
    if (SetAttributes) {
      platform::SetFileAttributes(part_path, item.external_attributes & ~std::uint32_t{0x07});
    }
    platform::RenameFile(part_path, out_path);
  } catch (...) {
    out = File();
    try {
      platform::DeleteFile(part_path);
    } catch (...) {
    }
    throw;
  }
}

void TZipArchiver::ReadMemberData(const DirItem& item, File& out) {
  std::array<std::uint8_t, zip::kLocalHeaderSize> local{};
  if (ReadAt(item.local_header_offset, local) != local.size()) {
    throw platform::Error("Stream read error");
  }
  const std::int64_t data_start =
      item.local_header_offset + static_cast<std::int64_t>(zip::kLocalHeaderSize) +
      zip::Get16(local, zip::local::kNameLength) + zip::Get16(local, zip::local::kExtraLength);
  std::int64_t remaining = item.compressed_size;
  if (data_start + remaining > directory_start_) {
    remaining = std::max<std::int64_t>(0, directory_start_ - data_start);
  }
  if (item.method == zip::kMethodDeflate64) {
    throw EArchiveError("Deflate64 compression method is not supported", kNativeDeflate64,
                        kMsgDeflate64);
  }
  if (item.method != zip::kMethodStored && item.method != zip::kMethodDeflate) ThrowCorrupt();

  std::int64_t pos = data_start;
  std::optional<PkwareKeys> keys;
  if (item.encrypted()) {
    // Without a password, or with one whose check byte does not match, the
    // member is not extracted; a service cannot ask for another one.
    auto wrong_password = [&] {
      return EArchiveError("Wrong password for file " + Quoted(item.name), kNativeWrongPassword,
                           kMsgWrongPassword);
    };
    if (Password.empty()) throw wrong_password();
    std::array<std::uint8_t, zip::kEncryptionHeaderSize> header{};
    if (remaining < 12 || ReadAt(pos, header) != header.size()) ThrowCorrupt();
    const std::uint16_t local_flags = zip::Get16(local, zip::local::kFlags);
    const std::uint8_t check =
        (local_flags & zip::kFlagDataDescriptor)
            ? static_cast<std::uint8_t>(zip::Get16(local, zip::local::kTime) >> 8)
            : static_cast<std::uint8_t>(zip::Get32(local, zip::local::kCrc) >> 24);
    keys = DecryptHeader(Password, header);
    if (header[11] != check) throw wrong_password();
    pos += 12;
    remaining -= 12;
  }

  auto write = [&](std::span<const std::uint8_t> bytes) {
    try {
      out.Write(bytes);
    } catch (const platform::SystemError& e) {
      if (platform::IsDiskFull(e)) {
        throw EArchiveError("Disk is full. There is not enough free space on disk.",
                            kNativeDiskFull, kMsgDiskFull);
      }
      throw;
    }
  };

  std::uint32_t crc = 0xFFFFFFFF;
  std::uint64_t written = 0;
  const std::uint64_t expected = item.uncompressed_size;
  if (item.method == zip::kMethodStored) {
    std::vector<std::uint8_t> buf(kStoredPiece);
    while (remaining > 0) {
      const size_t want = static_cast<size_t>(std::min<std::int64_t>(remaining, kStoredPiece));
      const size_t got = ReadAt(pos, std::span<std::uint8_t>(buf.data(), want));
      if (got == 0) break;
      const std::span<std::uint8_t> piece(buf.data(), got);
      if (keys) keys->Decrypt(piece);
      written += got;
      if (written > expected) ThrowCorrupt();
      write(piece);
      crc = UpdateCRC32(piece, crc);
      pos += static_cast<std::int64_t>(got);
      remaining -= static_cast<std::int64_t>(got);
    }
  } else {
    Inflater inflater;
    std::vector<std::uint8_t> in(static_cast<size_t>(
        std::clamp<std::int64_t>(remaining, 1, static_cast<std::int64_t>(kReadBlock))));
    std::vector<std::uint8_t> buf(kReadBlock);
    bool done = false;
    while (!done && remaining > 0) {
      const size_t want = static_cast<size_t>(std::min<std::int64_t>(remaining, kReadBlock));
      const size_t got = ReadAt(pos, std::span<std::uint8_t>(in.data(), want));
      if (got == 0) break;
      pos += static_cast<std::int64_t>(got);
      remaining -= static_cast<std::int64_t>(got);
      std::span<std::uint8_t> input(in.data(), got);
      if (keys) keys->Decrypt(input);
      while (true) {
        const Inflater::Step step = inflater.Run(input, buf);
        input = input.subspan(step.consumed);
        if (step.produced > 0) {
          written += step.produced;
          // A member never holds more than its directory entry says.
          if (written > expected) ThrowCorrupt();
          const std::span<const std::uint8_t> piece(buf.data(), step.produced);
          write(piece);
          crc = UpdateCRC32(piece, crc);
        }
        if (step.error) ThrowCorrupt();
        if (step.stream_end) {
          done = true;
          break;
        }
        if (input.empty() && step.produced < buf.size()) break;
        if (step.consumed == 0 && step.produced == 0) break;
      }
    }
  }
  if (written != expected || ~crc != item.crc) ThrowCorrupt();
  // A data descriptor that disagrees with the directory means damage too.
  if (item.flags & zip::kFlagDataDescriptor) {
    std::array<std::uint8_t, 8> dd{};
    if (ReadAt(data_start + static_cast<std::int64_t>(item.compressed_size), dd) == dd.size()) {
      const bool signed_dd = zip::Get32(dd, 0) == zip::kDataDescriptorSignature;
      if (zip::Get32(dd, signed_dd ? 4 : 0) != item.crc) ThrowCorrupt();
    }
  }
}

}  // namespace quilvane::archive
