#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_error.h"
#include "archive/dir_item.h"
#include "archive/pkware.h"
#include "platform/env.h"
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

class ZipReader;
class ZipWriter;
struct WriteSettings;

// A ZIP archive on disk, written with traditional PKWARE encryption when
// Password is set: the settings, and the operations that pick the files and
// the members. ZipWriter writes the archive and ZipReader reads it. One
// object serves one archive at a time and is not thread-safe. Every failure
// throws: EArchiveError for the archiver's own checks, platform::Error for
// the file system. A failure while adding leaves the archive as it was
// before the call (the 22-byte empty archive for a new one); a failure while
// extracting a member leaves no output file for it.
class TZipArchiver : public TBaseArchiver {
 public:
  // `env` gives the clock (time of a member whose file has none) and the
  // counter that seeds the encryption headers.
  explicit TZipArchiver(platform::Env& env);
  // Only for reading: opening to create throws std::logic_error.
  TZipArchiver();
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
  // Extracts one member into BaseDir under `as_name` instead of its stored
  // name (checked as a stored name is): a member FindRootItem matched in
  // another letter case lands where the caller will look for it.
  void ExtractItem(size_t index, const std::string& as_name);
  // Writes the end record of an archive still empty and closes the file.
  // Never throws.
  void CloseArchive() noexcept;

  bool active() const { return active_; }
  // Whether the directory had to be rebuilt from the local headers.
  bool opened_as_damaged() const;
  const std::vector<DirItem>& items() const;
  // The archive comment: the one read from the end record of an archive
  // opened for reading, or the one set for an archive being created.
  const std::string& comment() const;
  // Sets the comment of the archive open for writing, none by default: at
  // most 65,535 bytes, without the end record's signature ("PK\5\6").
  // Written at once when the archive already holds members, else with the
  // next AddFiles or at CloseArchive. Throws EArchiveError when no archive
  // is open for writing or the comment is refused.
  void SetComment(const std::string& comment);
  // The index of the file (not folder) member at the archive's root named
  // `name`, ASCII letter case ignored.
  std::optional<size_t> FindRootItem(const std::string& name) const;

 private:
  WriteSettings Settings() const;

  platform::Env* env_;  // null: a reader
  std::unique_ptr<ZipReader> reader_;
  std::unique_ptr<ZipWriter> writer_;
  bool active_ = false;
  HeaderRandom random_;
};

}  // namespace quilvane::archive
