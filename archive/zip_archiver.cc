// The archiver's settings and operations; the archive itself is written by
// ZipWriter and read by ZipReader.
#include "archive/zip_archiver.h"

#include <stdexcept>

#include "archive/dos_time.h"
#include "archive/file_selection.h"
#include "archive/name_rules.h"
#include "archive/zip_reader.h"
#include "archive/zip_writer.h"
#include "platform/path.h"
#include "platform/temporary_file.h"
#include "platform/text.h"

namespace quilvane::archive {

using platform::File;

namespace {

// What an archiver without an open archive shows.
const std::vector<DirItem> kNoItems;
const std::string kNoComment;

}  // namespace

size_t TBaseArchiver::BlockSize() const {
  if (mode_ >= 1 && mode_ <= 3) return 524288;
  if (mode_ >= 7) return 1572864;
  return 1048576;
}

void TBaseArchiver::SetCompressionLevel(CompressionLevel level) {
  level_ = level;
  switch (level) {
    case CompressionLevel::kNone:
      mode_ = 0;
      break;
    case CompressionLevel::kFastest:
      mode_ = 1;
      break;
    case CompressionLevel::kNormal:
      mode_ = 6;
      break;
    case CompressionLevel::kMax:
      mode_ = 9;
      break;
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

TZipArchiver::TZipArchiver(platform::Env& env) : env_(&env) {}

TZipArchiver::TZipArchiver() : env_(nullptr) {}

TZipArchiver::~TZipArchiver() { CloseArchive(); }

WriteSettings TZipArchiver::Settings() const {
  return WriteSettings{Password, CompressionMode(), BlockSize(), FlushBuffers};
}

void TZipArchiver::OpenArchive(OpenMode mode) {
  if (platform::FileNameOf(FileName).empty()) {
    throw EArchiveError("File name is blank. Specify appropriate file name", kNativeBlankFileName,
                        kMsgBlankFileName);
  }
  CloseArchive();
  reader_.reset();
  writer_.reset();
  if (mode == OpenMode::kCreate) {
    // A programming error, not a condition of the archive.
    if (!env_) throw std::logic_error("TZipArchiver made without an Env cannot create archives");
    writer_ = std::make_unique<ZipWriter>(FileName, *env_, random_);
  } else {
    if (!platform::FileExists(FileName)) {
      throw EArchiveError("File " + Quoted(FileName) + " not found", kNativeFileNotFound,
                          kMsgFileNotFound);
    }
    reader_ = std::make_unique<ZipReader>(FileName, OpenCorruptedArchives);
  }
  active_ = true;
}

void TZipArchiver::CloseArchive() noexcept {
  if (active_ && writer_) writer_->Close(FlushBuffers);
  if (reader_) reader_->Close();
  active_ = false;
}

bool TZipArchiver::opened_as_damaged() const { return reader_ && reader_->damaged(); }

const std::vector<DirItem>& TZipArchiver::items() const {
  return reader_ ? reader_->items() : writer_ ? writer_->items() : kNoItems;
}

const std::string& TZipArchiver::comment() const {
  return reader_ ? reader_->comment() : writer_ ? writer_->comment() : kNoComment;
}

void TZipArchiver::SetComment(const std::string& comment) {
  if (!active_ || !writer_) ThrowNotOpen();
  writer_->SetComment(comment, FlushBuffers);
}

void TZipArchiver::AddFiles(const std::string& file_mask, std::uint32_t search_attr,
                            const std::string& exclusion_mask) {
  if (!active_ || !writer_) ThrowNotOpen();
  const WriteSettings settings = Settings();
  std::vector<DirItem> added;
  for (const std::string& path : FindFiles(
           file_mask, BaseDir, search_attr & ~platform::kAttrDirectory, exclusion_mask, FileName)) {
    added.push_back(writer_->ItemFor(path, BaseDir, settings));
  }
  writer_->Add(std::move(added), settings);
}

std::optional<size_t> TZipArchiver::FindRootItem(const std::string& name) const {
  const std::vector<DirItem>& all = items();
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string& n = all[i].name;
    if (n.find_first_of("/\\") == std::string::npos && !all[i].is_folder() &&
        platform::EqualsIgnoreAsciiCase(n, name)) {
      return i;
    }
  }
  return std::nullopt;
}

void TZipArchiver::ExtractFiles(const std::string& file_mask, std::uint32_t search_attr,
                                const std::string& exclusion_mask) {
  if (!active_ || !reader_) ThrowNotOpen();
  std::string mask = file_mask;
  if (const auto star = mask.find("*.*"); star != std::string::npos) mask.replace(star, 3, "*");
  constexpr std::uint32_t kSpecialBits = 0x02 | 0x04 | 0x08 | 0x10;
  const std::vector<DirItem>& all = reader_->items();
  for (size_t i = 0; i < all.size(); ++i) {
    const DirItem& item = all[i];
    const std::string base = platform::FileNameOf(item.name);
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
  if (!active_ || !reader_) ThrowNotOpen();
  ExtractItem(index, reader_->items().at(index).name);
}

void TZipArchiver::ExtractItem(size_t index, const std::string& name) {
  if (!active_ || !reader_) ThrowNotOpen();
  const DirItem& item = reader_->items().at(index);
  const auto relative = SafeRelativePath(name);
  if (!relative) {
    throw EArchiveError("Cannot extract " + Quoted(name) + " outside the destination folder",
                        kNativeUnsafeName, kMsgUnsafeName);
  }
  const std::string dest = platform::WithTrailingSeparator(BaseDir);
  const std::string rel = *relative;
  const std::string folder = dest + platform::FolderOf(rel);
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
    throw EArchiveError(platform::CannotCreateFileText(out_path), kNativeCannotCreateFile,
                        kMsgCannotCreateFile);
  }
  // The member is written beside its final name and renamed over it only when
  // every check passed, so a failure never leaves partial content behind. The
  // part is removed after `out` has closed it (an open file cannot be deleted
  // on Windows).
  const std::string part_path = out_path + ".part";
  platform::TemporaryFile part;
  File out;
  try {
    out = File(part_path, File::Mode::kCreate);
  } catch (const platform::SystemError& e) {
    throw EArchiveError(platform::CannotCreateFileText(out_path, e.code()), kNativeCannotCreateFile,
                        kMsgCannotCreateFile);
  } catch (const platform::Error&) {
    throw EArchiveError(platform::CannotCreateFileText(out_path), kNativeCannotCreateFile,
                        kMsgCannotCreateFile);
  }
  part = platform::TemporaryFile(part_path);
  reader_->ReadMember(item, Password, out);
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
  part.Keep();
}

}  // namespace quilvane::archive
