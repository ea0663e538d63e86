#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_error.h"
#include "archive/pkware.h"
#include "platform/file.h"

namespace quilvane::archive {

enum class CompressionLevel { kNone, kFastest, kNormal, kMax };

// What OpenArchive does with FileName.
enum class OpenMode : std::uint32_t {
  kRead = 0,         // open an existing archive and load its directory
  kCreate = 0xFF00,  // create (or truncate) the file; empty directory
};

// The attribute mask that selects every file, hidden and system ones and
// folders included.
constexpr std::uint32_t kSearchAttrAll = 10431;

// One member of the archive: the fields of its central directory header,
// its stored and decoded names, and for a member being added its source.
struct DirItem {
  std::uint16_t version_made_by = 20;
  std::uint16_t version_needed = 20;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t time = 0;
  std::uint16_t date = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressed_size = 0;
  std::uint32_t uncompressed_size = 0;
  std::uint16_t disk_start = 0;
  std::uint16_t internal_attributes = 0;
  std::uint32_t external_attributes = 0;
  std::int64_t local_header_offset = 0;
  std::string stored_name;  // bytes as in the archive
  std::string name;         // decoded, UTF-8, "/" between folders
  std::string extra;
  std::string comment;
  std::string source_path;  // members being added
  bool needs_zip64 = false;

  bool encrypted() const { return flags & 0x0001; }
  bool is_folder() const;
};

// Settings and their defaults, shared by every archiver kind.
class TBaseArchiver {
 public:
  std::string Password;
  std::string FileName;
  std::string BaseDir;
  bool OpenCorruptedArchives = true;
  bool ExtractCorruptedFiles = false;
  bool CreateDirs = true;
  bool ReplaceReadOnly = true;
  bool SetAttributes = true;
  bool FlushBuffers = true;
  bool OEMFileNames = true;

  CompressionLevel compression_level() const { return level_; }
  int CompressionMode() const { return mode_; }
  int CompressionMethod() const { return mode_ == 0 ? 0 : 8; }
  // Input block size of the compressor for the current mode.
  size_t BlockSize() const;
  void SetCompressionLevel(CompressionLevel level);
  // 0 to 9; anything else throws EArchiveError.
  void SetCompressionMode(int mode);

 protected:
  TBaseArchiver() = default;
  ~TBaseArchiver() = default;

 private:
  CompressionLevel level_ = CompressionLevel::kFastest;
  int mode_ = 1;
};

// A ZIP archive on disk, written with traditional PKWARE encryption when
// Password is set. One object serves one archive at a time and is not
// thread-safe. Every failure throws: EArchiveError for the archiver's own
// checks, platform::Error for the file system. A failure while adding
// leaves the archive as it was before the call (the 22-byte empty archive
// for a new one); a failure while extracting a member leaves no output
// file for it.
class TZipArchiver : public TBaseArchiver {
 public:
  TZipArchiver() = default;
  ~TZipArchiver();
  TZipArchiver(const TZipArchiver&) = delete;
  TZipArchiver& operator=(const TZipArchiver&) = delete;

  void OpenArchive(OpenMode mode);
  // Adds the files that `file_mask` names (a path, or a path whose last
  // component holds "*" or "?") and writes the whole archive before it
  // returns.
  void AddFiles(const std::string& file_mask, std::uint32_t search_attr = kSearchAttrAll,
                const std::string& exclusion_mask = "");
  // Extracts every member whose name (or last component) matches `file_mask`
  // into BaseDir. Stops at the first member that fails.
  void ExtractFiles(const std::string& file_mask, std::uint32_t search_attr = kSearchAttrAll,
                    const std::string& exclusion_mask = "");
  // Extracts one member into BaseDir.
  void ExtractItem(size_t index);
  // Writes the end record of an archive still empty and closes the file.
  // Never throws.
  void CloseArchive() noexcept;

  bool active() const { return active_; }
  // Whether the directory had to be rebuilt from the local headers.
  bool opened_as_damaged() const { return damaged_; }
  const std::vector<DirItem>& items() const { return items_; }
  const std::string& comment() const { return comment_; }
  // The index of the file (not folder) member at the archive's root named
  // `name`, ASCII letter case ignored.
  std::optional<size_t> FindRootItem(const std::string& name) const;

 private:
  struct EndRecord {
    std::int64_t position = 0;
    std::uint16_t disk = 0;
    std::uint16_t directory_disk = 0;
    std::uint16_t entries_on_disk = 0;
    std::uint16_t total_entries = 0;
    std::uint32_t directory_size = 0;
    std::uint32_t directory_offset = 0;
    std::uint16_t comment_length = 0;
    // Where the directory ends: the record itself, or the zip64 end record
    // in front of it; and the directory's size and entry count, from the
    // zip64 record when the 32-bit fields are saturated.
    std::int64_t directory_end = 0;
    std::uint64_t directory_size64 = 0;
    std::uint64_t entries64 = 0;
  };
  void ApplyZip64EndRecord(EndRecord& end);

  // Write path.
  std::vector<std::string> FindFiles(const std::string& mask, std::uint32_t search_attr,
                                     const std::string& exclusion_mask) const;
  DirItem MakeItem(const std::string& path) const;
  void WriteUpdate(size_t first_new);
  void WriteMember(DirItem& item);
  void CompressMember(DirItem& item, platform::File& source, std::int64_t source_size,
                      std::int64_t& read_total);
  void WriteDirectory(std::int64_t at);
  void Rollback(const std::vector<DirItem>& items, std::int64_t end) noexcept;
  void WriteBytes(std::span<const std::uint8_t> bytes);

  // Read path.
  std::optional<EndRecord> FindEndRecord();
  bool LoadDirectory(const EndRecord& end);
  void ResolvePrefix();
  void RebuildDirectory();
  bool FindDataDescriptor(std::int64_t data_start, DirItem& item, bool zip64);
  void ReadMemberData(const DirItem& item, platform::File& out);
  size_t ReadAt(std::int64_t offset, std::span<std::uint8_t> out);

  platform::File file_;
  bool active_ = false;
  bool writing_ = false;
  bool damaged_ = false;
  std::int64_t file_size_ = 0;
  // Where the central directory starts (reading) or will be written
  // (writing): the end of the members' data.
  std::int64_t directory_start_ = 0;
  std::vector<DirItem> items_;
  std::string comment_;
  std::int64_t descriptor_scan_budget_ = 0;  // bytes the rebuild may still scan
  HeaderRandom random_;
};

}  // namespace quilvane::archive
