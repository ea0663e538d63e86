#include "archive/zip_rebuild.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "archive/header_fields.h"
#include "archive/name_rules.h"
#include "archive/zip_format.h"

namespace quilvane::archive {
namespace {

std::uint32_t Sig(const std::uint8_t* p) {
  return zip::Get32(std::span<const std::uint8_t>(p, 4), 0);
}

// Many streamed headers in a large damaged file must not turn the rebuild
// into hours of scanning: the descriptor searches share one budget.
class DescriptorFinder {
 public:
  explicit DescriptorFinder(ArchiveFile& file)
      : file_(file), budget_(4 * file.size() + (std::int64_t{256} << 20)) {}

  // A descriptor ends the data: the CRC-32 and the two sizes (8 bytes each
  // after a zip64 local header), with or without a signature in front. Its
  // compressed size must match the distance from the data's start, and one
  // without a signature must be followed by another record or the file's end.
  bool Find(std::int64_t data_start, DirItem& item, bool zip64);

 private:
  ArchiveFile& file_;
  std::int64_t budget_;
};

bool DescriptorFinder::Find(std::int64_t data_start, DirItem& item, bool zip64) {
  const std::int64_t width = zip64 ? 8 : 4;
  const std::int64_t body = 4 + 2 * width;
  std::array<std::uint8_t, 24> dd{};
  auto size_at = [&](size_t at) -> std::uint64_t {
    return zip64 ? zip::Get64(dd, at) : zip::Get32(dd, at);
  };
  // Tries a descriptor body (CRC first) at `at` for data ending at `end`.
  auto try_body = [&](std::int64_t at, std::int64_t end) {
    if (end < data_start) return false;
    if (file_.ReadAt(at, std::span<std::uint8_t>(dd.data(), static_cast<size_t>(body))) !=
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
  const std::int64_t file_size = file_.size();
  std::vector<std::uint8_t> window(zip::kRebuildWindow + 4);
  for (std::int64_t base = data_start; base <= file_size; base += zip::kRebuildWindow) {
    if (budget_ <= 0) return false;
    budget_ -= static_cast<std::int64_t>(zip::kRebuildWindow);
    const size_t got = file_.ReadAt(base, window);
    const size_t limit = std::min<size_t>(got, zip::kRebuildWindow);
    for (size_t i = 0; i <= limit; ++i) {
      const std::int64_t pos = base + static_cast<std::int64_t>(i);
      if (pos == file_size) return try_body(pos - body, pos - body);
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
std::optional<std::pair<std::uint64_t, std::uint64_t>> LocalZip64Sizes(const std::string& extra) {
  const auto block = zip::FindExtraBlock(extra, zip::kZip64ExtraId, 16);
  if (!block) return std::nullopt;
  return std::make_pair(zip::Get64(*block, 0), zip::Get64(*block, 8));
}

}  // namespace

void ResolvePrefix(ArchiveFile& file, std::vector<DirItem>& items, std::int64_t directory_start) {
  if (items.empty()) return;
  const DirItem& first = items.front();
  std::int64_t prefix = -1;
  std::vector<std::uint8_t> window(zip::kRebuildWindow + 3);
  std::array<std::uint8_t, zip::kLocalHeaderSize> h{};
  for (std::int64_t base = first.local_header_offset; base < directory_start && prefix < 0;
       base += zip::kRebuildWindow) {
    const size_t got = file.ReadAt(base, window);
    if (got < 4) break;
    for (size_t i = 0; i + 4 <= got && i < zip::kRebuildWindow; ++i) {
      if (Sig(&window[i]) != zip::kLocalHeaderSignature) continue;
      const std::int64_t pos = base + static_cast<std::int64_t>(i);
      if (pos == 0) {
        prefix = 0;
        break;
      }
      if (file.ReadAt(pos, h) != h.size()) continue;
      DirItem local;
      GetSharedFields(h, zip::local::kVersionNeeded, local);
      if (local.version_needed == first.version_needed && local.method == first.method &&
          local.time == first.time && local.date == first.date && local.crc == first.crc &&
          local.compressed_size == first.compressed_size &&
          local.uncompressed_size == first.uncompressed_size) {
        prefix = pos;
        break;
      }
    }
  }
  if (prefix <= 0) return;
  for (const DirItem& item : items) {
    if (item.compressed_size != 0) {
      if (item.local_header_offset >= prefix) return;
      break;
    }
  }
  for (DirItem& item : items) {
    if (!(item.external_attributes & platform::kAttrDirectory)) item.local_header_offset += prefix;
  }
}

std::vector<DirItem> RebuildDirectory(ArchiveFile& file) {
  DescriptorFinder descriptors(file);
  const std::int64_t file_size = file.size();
  std::vector<DirItem> items;
  std::vector<std::uint8_t> window(zip::kRebuildWindow + 3);
  std::array<std::uint8_t, zip::kLocalHeaderSize> h{};
  std::int64_t next = 0;  // the scan resumes 4 bytes after each header taken
  for (std::int64_t base = 0; base < file_size; base += zip::kRebuildWindow) {
    const size_t got = file.ReadAt(base, window);
    for (size_t i = 0; i + 4 <= got && i < zip::kRebuildWindow; ++i) {
      const std::int64_t pos = base + static_cast<std::int64_t>(i);
      if (pos < next || Sig(&window[i]) != zip::kLocalHeaderSignature) continue;
      if (file.ReadAt(pos, h) != h.size()) continue;
      std::uint64_t compressed = zip::Get32(h, zip::local::kCompressedSize);
      const size_t name_len = zip::Get16(h, zip::local::kNameLength);
      const size_t extra_len = zip::Get16(h, zip::local::kExtraLength);
      if (extra_len > zip::kRebuildMaxExtra) continue;
      std::string name_extra(name_len + extra_len, '\0');
      const size_t have = file.ReadAt(
          pos + 30, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(name_extra.data()),
                                            name_extra.size()));
      name_extra.resize(have);
      const std::string extra = have > name_len ? name_extra.substr(name_len) : std::string();
      const auto zip64 = LocalZip64Sizes(extra);
      if (compressed == zip::kMaxSize32 && zip64) compressed = zip64->second;
      if (compressed >= static_cast<std::uint64_t>(file_size)) continue;
      DirItem item;
      item.version_made_by = 20;
      GetSharedFields(h, zip::local::kVersionNeeded, item);
      item.compressed_size = static_cast<std::uint32_t>(compressed);
      if (item.uncompressed_size == zip::kMaxSize32 && zip64 && zip64->first < zip::kMaxSize32) {
        item.uncompressed_size = static_cast<std::uint32_t>(zip64->first);
      }
      item.local_header_offset = pos;
      item.stored_name = name_extra.substr(0, std::min(name_len, have));
      item.extra = extra;
      item.name = DecodeName(item.stored_name, (item.flags & zip::kFlagUtf8) != 0);
      if (item.flags & zip::kFlagDataDescriptor) {
        descriptors.Find(pos + 30 + static_cast<std::int64_t>(name_len + extra_len), item,
                         zip64.has_value());
      }
      // Only a name that ends in a separator is a folder: an empty file is
      // still a file.
      item.external_attributes =
          item.is_folder() ? platform::kAttrDirectory : platform::kAttrArchive;
      items.push_back(std::move(item));
      next = pos + 4;
    }
  }
  return items;
}

}  // namespace quilvane::archive
