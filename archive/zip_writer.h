#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/dir_item.h"
#include "archive/pkware.h"
#include "platform/env.h"
#include "platform/file.h"

namespace quilvane::archive {

// How members are written: the password (none: not encrypted), the
// compression mode (0 stores, 1 to 9 are Deflate levels) and its input block,
// and whether every update is flushed to the device.
struct WriteSettings {
  std::string password;
  int mode = 1;
  size_t block = 524288;
  bool flush = true;
};

// An archive being created: members written one after another, each through
// the stages of member_stream.h, then the central directory and the end
// record. Never writes zip64 fields: a member that would need them fails.
class ZipWriter {
 public:
  // Creates (or truncates) the file at `path`. `random` fills the
  // encryption headers; `env` gives the clock and the counter that reseeds it.
  ZipWriter(const std::string& path, platform::Env& env, HeaderRandom& random);

  const std::vector<DirItem>& items() const { return items_; }
  // The member that adding file `path` makes: its name relative to
  // `base_dir`, its time and attributes; sizes and CRC come when written.
  DirItem ItemFor(const std::string& path, const std::string& base_dir,
                  const WriteSettings& settings) const;
  // Writes `added` after the members already there (one of the same name is
  // replaced; its old bytes stay unreferenced), then the whole directory. A
  // failure puts the archive back as it was before the call and rethrows.
  void Add(std::vector<DirItem> added, const WriteSettings& settings);

  // The archive comment, written in the end record: none by default. At
  // most 65,535 bytes, and never the end record's signature, which would
  // mislead a reader looking for the record from the file's end; anything
  // else throws EArchiveError. Written at once when the archive holds
  // members (flushed when `flush`), else with the next update or at Close.
  void SetComment(const std::string& comment, bool flush);
  const std::string& comment() const { return comment_; }

  // Writes the end record of an archive still empty, then closes the file.
  // Never throws.
  void Close(bool flush) noexcept;

 private:
  void WriteMember(DirItem& item, const WriteSettings& settings);
  std::int64_t WriteMemberData(DirItem& item, platform::File& source, std::int64_t size,
                               const WriteSettings& settings);
  void WriteDirectory(std::int64_t at);
  void Rollback(const std::vector<DirItem>& items, std::int64_t end, bool flush) noexcept;
  void WriteBytes(std::span<const std::uint8_t> bytes);

  platform::File file_;
  platform::Env& env_;
  HeaderRandom& random_;
  std::int64_t file_size_ = 0;
  // Where the central directory will be written: the end of the members' data.
  std::int64_t directory_start_ = 0;
  std::vector<DirItem> items_;
  std::string comment_;
};

}  // namespace quilvane::archive
