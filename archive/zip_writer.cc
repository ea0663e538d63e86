// The write path of the archiver: finding the files, the local headers, the
// compressor with its encryption, the central directory and the rollback.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "archive/dos_time.h"
#include "archive/name_rules.h"
#include "archive/zip_archiver.h"
#include "archive/zip_format.h"
#include "archive/zstream.h"
#include "platform/error_kinds.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace quilvane::archive {
namespace {

using platform::File;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

[[noreturn]] void ThrowDiskFull() {
  throw EArchiveError("Disk is full. There is not enough free space on disk.", kNativeDiskFull,
                      kMsgDiskFull);
}

std::array<std::uint8_t, zip::kLocalHeaderSize> LocalHeader(const DirItem& item) {
  std::array<std::uint8_t, zip::kLocalHeaderSize> h{};
  using namespace zip::local;
  zip::Put32(h, kSignature, zip::kLocalHeaderSignature);
  zip::Put16(h, kVersionNeeded, item.version_needed);
  zip::Put16(h, kFlags, item.flags);
  zip::Put16(h, kMethod, item.method);
  zip::Put16(h, kTime, item.time);
  zip::Put16(h, kDate, item.date);
  zip::Put32(h, kCrc, item.crc);
  zip::Put32(h, kCompressedSize, item.compressed_size);
  zip::Put32(h, kUncompressedSize, item.uncompressed_size);
  zip::Put16(h, kNameLength, static_cast<std::uint16_t>(item.stored_name.size()));
  zip::Put16(h, kExtraLength, 0);
  return h;
}

void AppendCentralHeader(std::vector<std::uint8_t>& out, const DirItem& item) {
  std::array<std::uint8_t, zip::kCentralHeaderSize> h{};
  using namespace zip::central;
  zip::Put32(h, kSignature, zip::kCentralHeaderSignature);
  zip::Put16(h, kVersionMadeBy, item.version_made_by);
  zip::Put16(h, kVersionNeeded, item.version_needed);
  zip::Put16(h, kFlags, item.flags);
  zip::Put16(h, kMethod, item.method);
  zip::Put16(h, kTime, item.time);
  zip::Put16(h, kDate, item.date);
  zip::Put32(h, kCrc, item.crc);
  zip::Put32(h, kCompressedSize, item.compressed_size);
  zip::Put32(h, kUncompressedSize, item.uncompressed_size);
  zip::Put16(h, kNameLength, static_cast<std::uint16_t>(item.stored_name.size()));
  zip::Put16(h, kExtraLength, 0);
  zip::Put16(h, kCommentLength, 0);
  zip::Put16(h, kDiskStart, 0);
  zip::Put16(h, kInternalAttributes, 0);
  zip::Put32(h, kExternalAttributes, item.external_attributes);
  zip::Put32(h, kLocalHeaderOffset, static_cast<std::uint32_t>(item.local_header_offset));
  out.insert(out.end(), h.begin(), h.end());
  out.insert(out.end(), item.stored_name.begin(), item.stored_name.end());
}

std::array<std::uint8_t, zip::kEndRecordSize> EndRecordBytes(size_t entries,
                                                             std::uint32_t dir_size,
                                                             std::uint32_t dir_offset) {
  std::array<std::uint8_t, zip::kEndRecordSize> e{};
  using namespace zip::end;
  zip::Put32(e, kSignature, zip::kEndRecordSignature);
  zip::Put16(e, kEntriesOnDisk, static_cast<std::uint16_t>(entries));
  zip::Put16(e, kTotalEntries, static_cast<std::uint16_t>(entries));
  zip::Put32(e, kDirectorySize, dir_size);
  zip::Put32(e, kDirectoryOffset, dir_offset);
  return e;
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string WithTrailingSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += platform::PathSeparator();
  return dir;
}

}  // namespace

size_t TBaseArchiver::BlockSize() const {
  if (mode_ >= 1 && mode_ <= 3) return 524288;
  if (mode_ >= 7) return 1572864;
  return 1048576;
}

void TBaseArchiver::SetCompressionLevel(CompressionLevel level) {
  level_ = level;
  switch (level) {
    case CompressionLevel::kNone: mode_ = 0; break;
    case CompressionLevel::kFastest: mode_ = 1; break;
    case CompressionLevel::kNormal: mode_ = 6; break;
    case CompressionLevel::kMax: mode_ = 9; break;
  }
}

void TBaseArchiver::SetCompressionMode(int mode) {
  if (mode < 0 || mode > 9) {
    throw EArchiveError("Invalid compression mode. Mode must be in [0-9] range",
                        kNativeBadCompressionMode, kMsgBadCompressionMode);
  }
  mode_ = mode;
  level_ = mode == 0   ? CompressionLevel::kNone
           : mode <= 3 ? CompressionLevel::kFastest
           : mode <= 6 ? CompressionLevel::kNormal
                       : CompressionLevel::kMax;
}

TZipArchiver::~TZipArchiver() { CloseArchive(); }

void TZipArchiver::OpenArchive(OpenMode mode) {
  if (BaseName(FileName).empty()) {
    throw EArchiveError("File name is blank. Specify appropriate file name", kNativeBlankFileName,
                        kMsgBlankFileName);
  }
  CloseArchive();
  items_.clear();
  comment_.clear();
  damaged_ = false;
  if (mode == OpenMode::kCreate) {
    try {
      file_ = File(FileName, File::Mode::kCreate);
    } catch (const platform::SystemError& e) {
      throw platform::Error("Cannot create file " + Quoted(FileName) + ". " +
                            platform::SystemMessage(e.code()));
    }
    writing_ = true;
    file_size_ = 0;
    directory_start_ = 0;
    active_ = true;
    return;
  }
  if (!platform::FileExists(FileName)) {
    throw EArchiveError("File " + Quoted(FileName) + " not found", kNativeFileNotFound,
                        kMsgFileNotFound);
  }
  try {
    file_ = File(FileName, File::Mode::kRead);
  } catch (const platform::SystemError& e) {
    throw platform::Error("Cannot open file " + Quoted(FileName) + ". " +
                          platform::SystemMessage(e.code()));
  }
  writing_ = false;
  file_size_ = file_.Size();
  const auto end = FindEndRecord();
  if (!end || !LoadDirectory(*end)) {
    items_.clear();
    comment_.clear();
    if (!OpenCorruptedArchives) {
      file_ = File();
      throw EArchiveError("Invalid archive file.", kNativeInvalidArchive, kMsgInvalidArchive);
    }
    RebuildDirectory();
  }
  active_ = true;
}

void TZipArchiver::CloseArchive() noexcept {
  if (active_ && writing_) {
    try {
      if (file_.Size() == 0) {
        const auto e = EndRecordBytes(0, 0, 0);
        file_.Write(std::span<const std::uint8_t>(e));
        if (FlushBuffers) file_.Sync();
      }
    } catch (...) {
      // Closing never fails; a missing end record shows when the archive is read.
    }
  }
  try {
    file_.Close();
  } catch (...) {
  }
  file_ = File();
  active_ = false;
  writing_ = false;
}

std::vector<std::string> TZipArchiver::FindFiles(const std::string& mask,
                                                 std::uint32_t search_attr,
                                                 const std::string& exclusion_mask) const {
  std::string full = mask;
  if (!IsAbsolutePath(full) && !BaseDir.empty()) full = WithTrailingSeparator(BaseDir) + full;
  auto qualifies = [&](const std::string& path) {
    platform::FileInfo info;
    try {
      info = platform::GetFileInfo(path);
    } catch (const platform::Error&) {
      return false;
    }
    if (info.attributes & platform::kAttrDirectory) return false;
    const std::uint32_t attrs = info.attributes;
    const bool selected = (attrs & search_attr) != 0 || (attrs == 0 && (search_attr & 0x27) == 0x27);
    if (!selected) return false;
    if (EqualsIgnoreCase(path, FileName)) return false;  // never add the archive to itself
    if (!exclusion_mask.empty() && (MatchesMask(path, exclusion_mask) ||
                                    MatchesMask(BaseName(path), exclusion_mask))) {
      return false;
    }
    return true;
  };
  std::vector<std::string> found;
  if (!HasWildcard(BaseName(full))) {
    if (platform::FileExists(full) && qualifies(full)) found.push_back(full);
    return found;
  }
  const std::string folder = FolderOf(full);
  const std::string pattern = BaseName(full);
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(folder.empty() ? "." : folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!MatchesMask(name, pattern)) continue;
    const std::string path = folder + name;
    if (platform::FileExists(path) && qualifies(path)) found.push_back(path);
  }
  std::sort(found.begin(), found.end());
  return found;
}

DirItem TZipArchiver::MakeItem(const std::string& path) const {
  DirItem item;
  item.source_path = path;
  item.name = StoredNameFor(path, BaseDir);
  const EncodedName encoded = EncodeName(item.name);
  item.stored_name = encoded.bytes;
  item.flags = encoded.utf8 ? zip::kFlagUtf8 : 0;
  if (!Password.empty()) item.flags |= zip::kFlagEncrypted;
  item.method = static_cast<std::uint16_t>(CompressionMethod());
  platform::FileInfo info;
  bool have_info = true;
  try {
    info = platform::GetFileInfo(path);
  } catch (const platform::Error&) {
    have_info = false;
  }
  item.external_attributes = have_info ? info.attributes : platform::kAttrArchive;
  const DosDateTime dos =
      ToDosDateTime(have_info ? info.last_write : platform::Env::Default().Now());
  item.time = dos.time;
  item.date = dos.date;
  item.crc = 0xFFFFFFFF;
  item.compressed_size = 0;
  item.uncompressed_size =
      info.size >= zip::kMaxSize32 ? zip::kMaxSize32 : static_cast<std::uint32_t>(info.size);
  item.needs_zip64 = info.size >= zip::kMaxSize32;
  return item;
}

void TZipArchiver::AddFiles(const std::string& file_mask, std::uint32_t search_attr,
                            const std::string& exclusion_mask) {
  if (!active_ || !writing_) {
    throw EArchiveError("Archive is not open", kNativeNotOpen, kMsgNotOpen);
  }
  const std::vector<DirItem> rollback_items = items_;
  const std::int64_t rollback_end = directory_start_;
  std::vector<DirItem> added;
  for (const std::string& path : FindFiles(file_mask, search_attr & ~platform::kAttrDirectory,
                                           exclusion_mask)) {
    added.push_back(MakeItem(path));
  }
  if (added.empty() && file_size_ > 0) return;
  // A member of the same name is replaced; its old bytes stay unreferenced.
  for (const DirItem& item : added) {
    std::erase_if(items_, [&](const DirItem& old) { return old.name == item.name; });
  }
  const size_t first_new = items_.size();
  items_.insert(items_.end(), added.begin(), added.end());
  try {
    WriteUpdate(first_new);
  } catch (...) {
    Rollback(rollback_items, rollback_end);
    throw;
  }
}

void TZipArchiver::WriteUpdate(size_t first_new) {
  file_.Truncate(directory_start_);
  file_.Seek(directory_start_);
  file_size_ = directory_start_;
  for (size_t i = first_new; i < items_.size(); ++i) WriteMember(items_[i]);
  WriteDirectory(file_size_);
  if (FlushBuffers) file_.Sync();
}

void TZipArchiver::WriteBytes(std::span<const std::uint8_t> bytes) {
  try {
    file_.Write(bytes);
  } catch (const platform::SystemError& e) {
    if (platform::IsDiskFull(e)) ThrowDiskFull();
    throw;
  }
  file_size_ += static_cast<std::int64_t>(bytes.size());
}

void TZipArchiver::WriteMember(DirItem& item) {
  File source;
  try {
    source = File(item.source_path, File::Mode::kRead);
  } catch (const platform::SystemError&) {
    throw EArchiveError("Cannot open file " + Quoted(item.source_path), kNativeCannotOpenSource,
                        kMsgCannotOpenFile);
  }
  if (item.needs_zip64) {
    throw EArchiveError("Cannot compress file '" + item.source_path +
                            "'. Zip64 mode is not enabled",
                        kNativeZip64Disabled, kMsgZip64Disabled);
  }
  const std::int64_t source_size = item.uncompressed_size;
  item.local_header_offset = file_size_;
  if (item.local_header_offset > static_cast<std::int64_t>(zip::kMaxSize32) - 1) {
    throw EArchiveError("Cannot compress file '" + item.source_path +
                            "'. Zip64 mode is not enabled",
                        kNativeZip64Disabled, kMsgZip64Disabled);
  }
  auto header = LocalHeader(item);
  WriteBytes(header);
  WriteBytes(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(item.stored_name.data()), item.stored_name.size()));

  std::int64_t read_total = 0;
  CompressMember(item, source, source_size, read_total);
  if (read_total != source_size) {
    throw EArchiveError("Invalid compressed size, rfs.size = " + std::to_string(source_size) +
                            ", count = " + std::to_string(read_total),
                        kNativeSourceSizeChanged, kMsgInvalidCompressedSize);
  }
  if (source_size == 0) item.method = zip::kMethodStored;

  header = LocalHeader(item);
  file_.Seek(item.local_header_offset);
  file_.Write(std::span<const std::uint8_t>(header));
  file_.Seek(file_size_);
}

void TZipArchiver::CompressMember(DirItem& item, File& source, std::int64_t source_size,
                                  std::int64_t& read_total) {
  const bool encrypt = !Password.empty();
  const size_t block = BlockSize();
  std::vector<std::uint8_t> in(static_cast<size_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(block), std::max<std::int64_t>(source_size, 1))));
  std::vector<std::uint8_t> out;
  std::uint32_t crc = 0xFFFFFFFF;
  std::optional<PkwareKeys> keys;
  std::uint64_t compressed = 0;

  // Reads up to `want` bytes, fewer only at the end of the file.
  auto read_block = [&](size_t want) {
    size_t got = 0;
    while (got < want) {
      const size_t n = source.Read(std::span<std::uint8_t>(in.data() + got, want - got));
      if (n == 0) break;
      got += n;
    }
    return got;
  };

  if (encrypt) {
    random_.Reseed(platform::Env::Default().PerformanceCounter());
    // The check byte of the header needs the CRC before the first byte.
    std::int64_t seen = 0;
    while (seen < source_size) {
      const size_t want =
          static_cast<size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(in.size()),
                                                     source_size - seen));
      const size_t got = read_block(want);
      if (got == 0) break;
      crc = UpdateCRC32(std::span<const std::uint8_t>(in.data(), got), crc);
      seen += static_cast<std::int64_t>(got);
    }
    source.Seek(0);
    keys.emplace(Password);
    auto header = MakeEncryptionHeader(random_, ~crc);
    keys->Encrypt(header);
    WriteBytes(header);
    compressed += zip::kEncryptionHeaderSize;
  }

  std::optional<Deflater> deflater;
  if (CompressionMode() != 0 && source_size > 0) deflater.emplace(CompressionMode());
  while (read_total < source_size) {
    const size_t want = static_cast<size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(block), source_size - read_total));
    const size_t got = read_block(want);
    if (got == 0) break;
    read_total += static_cast<std::int64_t>(got);
    const std::span<const std::uint8_t> chunk(in.data(), got);
    if (!encrypt) crc = UpdateCRC32(chunk, crc);
    size_t out_len;
    if (deflater) {
      if (out.empty()) out.resize(((got + got / 10 + 267) / 256) * 256);
      out_len = deflater->Compress(chunk, read_total >= source_size, out, 0);
    } else {
      out.assign(chunk.begin(), chunk.end());
      out_len = got;
    }
    const std::span<std::uint8_t> piece(out.data(), out_len);
    if (keys) keys->Encrypt(piece);
    WriteBytes(piece);
    compressed += out_len;
    if (got < want) break;
  }
  // A source that grew after it was listed would be cut short silently.
  if (read_total == source_size) {
    std::uint8_t probe;
    if (source.Read(std::span<std::uint8_t>(&probe, 1)) != 0) ++read_total;
  }
  if (compressed >= zip::kMaxSize32) {
    throw EArchiveError("Cannot compress file '" + item.source_path +
                            "'. Zip64 mode is not enabled",
                        kNativeZip64Disabled, kMsgZip64Disabled);
  }
  item.crc = ~crc;
  item.compressed_size = static_cast<std::uint32_t>(compressed);
}

void TZipArchiver::WriteDirectory(std::int64_t at) {
  std::vector<std::uint8_t> dir;
  for (const DirItem& item : items_) AppendCentralHeader(dir, item);
  try {
    file_.Write(std::span<const std::uint8_t>(dir));
  } catch (const platform::Error&) {
    throw EArchiveError("Write to stream error", kNativeWriteToStream, kMsgWriteToStream);
  }
  const auto end = EndRecordBytes(items_.size(), static_cast<std::uint32_t>(dir.size()),
                                  static_cast<std::uint32_t>(at));
  try {
    file_.Write(std::span<const std::uint8_t>(end));
  } catch (const platform::Error&) {
    throw platform::Error("Stream write error");
  }
  directory_start_ = at;
  file_size_ = at + static_cast<std::int64_t>(dir.size() + end.size());
}

void TZipArchiver::Rollback(const std::vector<DirItem>& items, std::int64_t end) noexcept {
  items_ = items;
  try {
    file_.Truncate(end);
    file_.Seek(end);
    file_size_ = end;
    WriteDirectory(end);
    if (FlushBuffers) file_.Sync();
  } catch (...) {
    // The failure being reported matters more than this one.
  }
}

}  // namespace quilvane::archive
