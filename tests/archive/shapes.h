#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Builders for the archive shapes other tools write, and the malformed ones a
// download can deliver: streamed members with or without a descriptor
// signature, zip64 records, traditional encryption checked against the CRC
// or the DOS time, a stub in front, wrong directory fields. Byte for byte
// from the format, so the tests that use them need no outside files.
namespace quilvane::archive::shapes {

// How a member's sizes and CRC reach the reader.
enum class Descriptor {
  kNone,         // in the local header
  kSigned,       // flag bit 3, a descriptor after the data with "PK\7\10"
  kUnsigned,     // flag bit 3, a descriptor without a signature
  kSignedZip64,  // flag bit 3, 8-byte sizes (after a zip64 local header)
};

struct Member {
  std::string name;
  std::string content;       // plain bytes
  std::uint16_t method = 0;  // 0 stored, 8 deflated, anything else as is
  Descriptor descriptor = Descriptor::kNone;
  // Traditional encryption when set.
  std::optional<std::string> password;
  // The value byte 11 of the encryption header is made from: the CRC's high
  // byte, or the DOS time's (what streaming writers use with flag bit 3).
  bool check_with_time = false;
  std::uint16_t time = 0xAB6D;
  std::uint16_t date = 0x5751;
  // Zip64 extra blocks with saturated 32-bit fields, in the local header
  // and/or the directory.
  bool zip64_local = false;
  bool zip64_directory = false;
  // Wrong values written on purpose; nullopt writes the true ones.
  std::optional<std::uint32_t> local_crc;
  std::optional<std::uint32_t> descriptor_crc;
  std::optional<std::uint32_t> directory_crc;
  // Flags in the directory when they differ from the local header's.
  std::optional<std::uint16_t> directory_flags;
};

struct Layout {
  std::string prefix;                   // bytes in front of the first member
  bool offsets_include_prefix = false;  // as "zip -A" adjusts them
  std::int64_t directory_size_delta = 0;
  std::int64_t directory_offset_delta = 0;
  bool zip64_end = false;                      // zip64 end record + locator, saturated fields
  std::optional<std::uint64_t> zip64_entries;  // the count the zip64 record claims
  std::optional<std::uint16_t> entries;        // the count the end record claims
  std::string comment;
  bool directory = true;  // false: members only (cut download)
};

std::string Build(const std::vector<Member>& members, const Layout& layout = {});

// What opening `path` and extracting each member on its own gives:
// "open failed <native>" or one "name=crc/size" or "name!<native>" per
// member, with "[rebuilt]" first when the directory came from the local
// headers.
std::string Outcome(const std::string& path, const std::string& password);
// The same for archive bytes, written to a temporary file.
std::string OutcomeOf(const std::string& bytes, const std::string& password);

// "name=crc/size" of plain content, as Outcome prints it.
std::string Expect(const std::string& name, const std::string& content);

}  // namespace quilvane::archive::shapes
