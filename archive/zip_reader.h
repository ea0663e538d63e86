#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_file.h"
#include "archive/dir_item.h"
#include "platform/file.h"

namespace quilvane::archive {

// An archive opened for reading: its directory (from the end record, or
// rebuilt from the local headers), its comment, and each member's data
// through the stages of member_stream.h. Every failure throws.
class ZipReader {
 public:
  // Opens `path`. Without a usable end record the directory is rebuilt when
  // `open_damaged` is set ("Invalid archive file." when that finds nothing),
  // else opening fails with that error.
  ZipReader(const std::string& path, bool open_damaged);

  const std::vector<DirItem>& items() const { return items_; }
  // Whether the directory had to be rebuilt from the local headers.
  bool damaged() const { return damaged_; }
  // The archive comment of the end record: at most 65,535 bytes, all of them
  // inside the file; empty for a rebuilt directory.
  const std::string& comment() const { return comment_; }
  // Releases the file; the directory stays readable.
  void Close() { file_.Close(); }

  // Writes the member's plain data to `out`, decrypted with `password` when
  // the member is encrypted, after every check: the password's check byte,
  // the method, the size and CRC-32 of the directory entry and of a data
  // descriptor.
  void ReadMember(const DirItem& item, const std::string& password, platform::File& out);

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
  std::optional<EndRecord> FindEndRecord();
  void ApplyZip64EndRecord(EndRecord& end);
  bool LoadDirectory(const EndRecord& end);

  ArchiveFile file_;
  bool damaged_ = false;
  // The end of the members' data: where the directory starts, or the file's
  // end for a rebuilt one.
  std::int64_t directory_start_ = 0;
  std::vector<DirItem> items_;
  std::string comment_;
};

}  // namespace quilvane::archive
