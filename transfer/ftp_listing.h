#pragma once

// The facts an FTP listing gives about a file: its size and modification
// time, from an "MLSD" line, a "LIST" line (unix or DOS style) or the
// answers to "SIZE" and "MDTM". Every line is a peer's text: numbers are
// checked and bounded, and a line that cannot be read yields nothing rather
// than a guess.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quilvane::transfer {

// A modification time as a listing states it.
struct ListedTime {
  // Seconds since 1970-01-01 00:00 of the server's clock: UTC for MLSD and
  // MDTM, the server's own local time for LIST.
  std::int64_t seconds = 0;
  // The stamp's granularity: two writes within it may show the same stamp.
  std::int64_t resolution = 1;
  bool utc = true;
  friend bool operator==(const ListedTime&, const ListedTime&) = default;
};

struct ListedEntry {
  std::string name;
  bool file = true;  // false for folders and other kinds
  std::optional<std::uint64_t> size;
  std::optional<ListedTime> modified;
};

// Files larger than this are not believed: no listing states one.
inline constexpr std::uint64_t kMaxListedSize = std::uint64_t{1} << 50;

// "type=file;size=12;modify=20261210083005; name" (facts in any order and
// letter case). nullopt when the line has no facts part or no name.
std::optional<ListedEntry> ParseMlsdLine(std::string_view line);

// A unix line ("-rw-r--r-- 1 o g 12 Dec 10 08:30 name", also without the
// group, and with a year in place of the time) or a DOS line ("12-10-26
// 08:30AM 12 name", "<DIR>" for folders). A time without a year is put in
// the latest year that is not more than a day past `now_seconds` (UTC
// seconds of the local clock). nullopt when the line fits neither.
std::optional<ListedEntry> ParseListLine(std::string_view line, std::int64_t now_seconds);

// The text of a 213 answer to "SIZE": decimal digits, bounded.
std::optional<std::uint64_t> ParseSizeText(std::string_view text);

// "YYYYMMDDHHMMSS" with an optional fraction, as MDTM and MLSD state it (UTC).
std::optional<ListedTime> ParseStampText(std::string_view text);

}  // namespace quilvane::transfer
