#include "archive/zip_writer.h"

#include <algorithm>
#include <optional>

#include "archive/archive_error.h"
#include "archive/dos_time.h"
#include "archive/header_fields.h"
#include "archive/member_stream.h"
#include "archive/name_rules.h"
#include "archive/zip_format.h"
#include "platform/path.h"

namespace quilvane::archive {
namespace {

using platform::File;

std::array<std::uint8_t, zip::kLocalHeaderSize> LocalHeader(const DirItem& item) {
  std::array<std::uint8_t, zip::kLocalHeaderSize> h{};
  using namespace zip::local;
  zip::Put32(h, kSignature, zip::kLocalHeaderSignature);
  PutSharedFields(h, kVersionNeeded, item);
  zip::Put16(h, kNameLength, static_cast<std::uint16_t>(item.stored_name.size()));
  zip::Put16(h, kExtraLength, 0);
  return h;
}

void AppendCentralHeader(std::vector<std::uint8_t>& out, const DirItem& item) {
  std::array<std::uint8_t, zip::kCentralHeaderSize> h{};
  using namespace zip::central;
  zip::Put32(h, kSignature, zip::kCentralHeaderSignature);
  zip::Put16(h, kVersionMadeBy, item.version_made_by);
  PutSharedFields(h, kVersionNeeded, item);
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

// The end record followed by the archive comment.
std::vector<std::uint8_t> EndRecordBytes(size_t entries, std::uint32_t dir_size,
                                         std::uint32_t dir_offset, const std::string& comment) {
  std::vector<std::uint8_t> e(zip::kEndRecordSize);
  using namespace zip::end;
  zip::Put32(e, kSignature, zip::kEndRecordSignature);
  zip::Put16(e, kEntriesOnDisk, static_cast<std::uint16_t>(entries));
  zip::Put16(e, kTotalEntries, static_cast<std::uint16_t>(entries));
  zip::Put32(e, kDirectorySize, dir_size);
  zip::Put32(e, kDirectoryOffset, dir_offset);
  zip::Put16(e, kCommentLength, static_cast<std::uint16_t>(comment.size()));
  e.insert(e.end(), comment.begin(), comment.end());
  return e;
}

}  // namespace

ZipWriter::ZipWriter(const std::string& path, platform::Env& env, HeaderRandom& random)
    : env_(env), random_(random) {
  try {
    file_ = File(path, File::Mode::kCreate);
  } catch (const platform::SystemError& e) {
    throw platform::Error(platform::CannotCreateFileText(path, e.code()));
  }
}

void ZipWriter::SetComment(const std::string& comment, bool flush) {
  if (comment.size() > zip::kMaxCommentSize) {
    throw EArchiveError(
        "Archive comment too long: " + std::to_string(comment.size()) + " bytes, at most 65535",
        kNativeCommentRefused, kMsgCommentRefused);
  }
  if (comment.find("PK\x05\x06") != std::string::npos) {
    throw EArchiveError("Archive comment holds the end record signature", kNativeCommentRefused,
                        kMsgCommentRefused);
  }
  if (file_size_ == 0) {
    comment_ = comment;
    return;
  }
  const std::string before = comment_;
  comment_ = comment;
  try {
    file_.Truncate(directory_start_);
    file_.Seek(directory_start_);
    WriteDirectory(directory_start_);
    if (flush) file_.Sync();
  } catch (...) {
    comment_ = before;
    Rollback(items_, directory_start_, flush);
    throw;
  }
}

DirItem ZipWriter::ItemFor(const std::string& path, const std::string& base_dir,
                           const WriteSettings& settings) const {
  DirItem item;
  item.source_path = path;
  item.name = StoredNameFor(path, base_dir);
  const EncodedName encoded = EncodeName(item.name);
  item.stored_name = encoded.bytes;
  item.flags = encoded.utf8 ? zip::kFlagUtf8 : 0;
  if (!settings.password.empty()) item.flags |= zip::kFlagEncrypted;
  item.method = settings.mode == 0 ? zip::kMethodStored : zip::kMethodDeflate;
  platform::FileInfo info;
  bool have_info = true;
  try {
    info = platform::GetFileInfo(path);
  } catch (const platform::Error&) {
    have_info = false;
  }
  item.external_attributes = have_info ? info.attributes : platform::kAttrArchive;
  const DosDateTime dos = ToDosDateTime(have_info ? info.last_write : env_.Now());
  item.time = dos.time;
  item.date = dos.date;
  item.crc = 0xFFFFFFFF;
  item.compressed_size = 0;
  item.uncompressed_size =
      info.size >= zip::kMaxSize32 ? zip::kMaxSize32 : static_cast<std::uint32_t>(info.size);
  item.needs_zip64 = info.size >= zip::kMaxSize32;
  return item;
}

void ZipWriter::Add(std::vector<DirItem> added, const WriteSettings& settings) {
  if (added.empty() && file_size_ > 0) return;
  const std::vector<DirItem> rollback_items = items_;
  const std::int64_t rollback_end = directory_start_;
  for (const DirItem& item : added) {
    std::erase_if(items_, [&](const DirItem& old) { return old.name == item.name; });
  }
  const size_t first_new = items_.size();
  items_.insert(items_.end(), added.begin(), added.end());
  try {
    file_.Truncate(directory_start_);
    file_.Seek(directory_start_);
    file_size_ = directory_start_;
    for (size_t i = first_new; i < items_.size(); ++i) WriteMember(items_[i], settings);
    WriteDirectory(file_size_);
    if (settings.flush) file_.Sync();
  } catch (...) {
    Rollback(rollback_items, rollback_end, settings.flush);
    throw;
  }
}

void ZipWriter::WriteBytes(std::span<const std::uint8_t> bytes) {
  FileSink(file_).Put(bytes);
  file_size_ += static_cast<std::int64_t>(bytes.size());
}

void ZipWriter::WriteMember(DirItem& item, const WriteSettings& settings) {
  File source;
  try {
    source = File(item.source_path, File::Mode::kRead);
  } catch (const platform::SystemError& e) {
    throw EArchiveError(platform::CannotOpenFileText(item.source_path, e.code()),
                        kNativeCannotOpenSource, kMsgCannotOpenFile);
  }
  if (item.needs_zip64) ThrowZip64Disabled(item.source_path);
  const std::int64_t source_size = item.uncompressed_size;
  item.local_header_offset = file_size_;
  if (item.local_header_offset > static_cast<std::int64_t>(zip::kMaxSize32) - 1) {
    ThrowZip64Disabled(item.source_path);
  }
  WriteBytes(LocalHeader(item));
  WriteBytes(zip::Bytes(item.stored_name));

  const std::int64_t read_total = WriteMemberData(item, source, source_size, settings);
  if (read_total != source_size) {
    throw EArchiveError("Invalid compressed size, rfs.size = " + std::to_string(source_size) +
                            ", count = " + std::to_string(read_total),
                        kNativeSourceSizeChanged, kMsgInvalidCompressedSize);
  }
  if (source_size == 0) item.method = zip::kMethodStored;

  // The header again, now with the sizes and CRC-32.
  const auto header = LocalHeader(item);
  file_.Seek(item.local_header_offset);
  file_.Write(std::span<const std::uint8_t>(header));
  file_.Seek(file_size_);
}

std::int64_t ZipWriter::WriteMemberData(DirItem& item, File& source, std::int64_t size,
                                        const WriteSettings& settings) {
  std::vector<std::uint8_t> in(static_cast<size_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(settings.block), std::max<std::int64_t>(size, 1))));
  FileSink archive(file_);
  std::optional<PkwareKeys> keys;
  std::optional<CrcSink> crc;
  if (!settings.password.empty()) {
    random_.Reseed(env_.PerformanceCounter());
    // The check byte of the encryption header needs the CRC-32 before the
    // first byte of data: a pass of its own over the source.
    PumpFile(source, size, in, crc.emplace(nullptr));
    source.Seek(0);
    keys.emplace(settings.password);
    auto header = MakeEncryptionHeader(random_, crc->crc());
    keys->Encrypt(header);
    archive.Put(std::span<const std::uint8_t>(header));
  }
  // The stages, from the archive up: encryption, Deflate, the CRC-32 (when
  // the first pass did not take it).
  ByteSink* top = &archive;
  std::optional<EncryptingSink> encrypting;
  if (keys) top = &encrypting.emplace(*keys, *top);
  std::optional<DeflatingSink> deflating;
  if (settings.mode != 0 && size > 0) top = &deflating.emplace(settings.mode, *top);
  if (!keys) top = &crc.emplace(top);
  const std::int64_t read_total = PumpFile(source, size, in, *top);
  file_size_ += static_cast<std::int64_t>(archive.written());
  if (archive.written() >= zip::kMaxSize32) ThrowZip64Disabled(item.source_path);
  item.crc = crc->crc();
  item.compressed_size = static_cast<std::uint32_t>(archive.written());
  return read_total;
}

void ZipWriter::WriteDirectory(std::int64_t at) {
  std::vector<std::uint8_t> dir;
  for (const DirItem& item : items_) AppendCentralHeader(dir, item);
  try {
    file_.Write(std::span<const std::uint8_t>(dir));
  } catch (const platform::Error&) {
    throw EArchiveError("Write to stream error", kNativeWriteToStream, kMsgWriteToStream);
  }
  const auto end = EndRecordBytes(items_.size(), static_cast<std::uint32_t>(dir.size()),
                                  static_cast<std::uint32_t>(at), comment_);
  try {
    file_.Write(std::span<const std::uint8_t>(end));
  } catch (const platform::Error&) {
    throw platform::Error("Stream write error");
  }
  directory_start_ = at;
  file_size_ = at + static_cast<std::int64_t>(dir.size() + end.size());
}

void ZipWriter::Rollback(const std::vector<DirItem>& items, std::int64_t end, bool flush) noexcept {
  items_ = items;
  try {
    file_.Truncate(end);
    file_.Seek(end);
    file_size_ = end;
    WriteDirectory(end);
    if (flush) file_.Sync();
  } catch (...) {
    // The failure being reported matters more than this one.
  }
}

void ZipWriter::Close(bool flush) noexcept {
  try {
    if (file_.Size() == 0) {
      file_.Write(std::span<const std::uint8_t>(EndRecordBytes(0, 0, 0, comment_)));
      if (flush) file_.Sync();
    }
  } catch (...) {
    // Closing never fails; a missing end record shows when the archive is read.
  }
  try {
    file_.Close();
  } catch (...) {
  }
}

}  // namespace quilvane::archive
