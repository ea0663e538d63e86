#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace quilvane::archive {

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
  bool is_folder() const {
    return (external_attributes & platform::kAttrDirectory) ||
           (!name.empty() && (name.back() == '/' || name.back() == '\\'));
  }
};

}  // namespace quilvane::archive
