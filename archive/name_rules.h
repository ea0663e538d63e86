#pragma once

#include <optional>
#include <string>

// How member names are formed, stored, decoded and matched. Pure functions.
namespace quilvane::archive {

bool IsAbsolutePath(const std::string& path);
// "*" matches any run, "?" one character, ASCII case ignored.
bool MatchesMask(const std::string& name, const std::string& mask);

// The name a file is stored under: its path relative to `base_dir` when it
// lies inside it, else its full path; no drive, no leading separator, "/"
// between folders.
std::string StoredNameFor(const std::string& path, const std::string& base_dir);

struct EncodedName {
  std::string bytes;
  bool utf8 = false;  // flag bit 11
};
// OEM code page bytes when the ANSI and OEM code pages both hold the name,
// else UTF-8 (cut to 255 bytes on a character boundary).
EncodedName EncodeName(const std::string& name);
// The reverse: UTF-8 with flag bit 11, or bytes that are valid UTF-8 beyond
// ASCII; the OEM code page otherwise.
std::string DecodeName(const std::string& stored, bool utf8_flag);

// The member's path relative to the destination folder, with "/" between
// folders, or nullopt when the name could land outside it: an absolute path,
// a drive or stream (":"), a "\\" prefix, a ".." component, or no name.
std::optional<std::string> SafeRelativePath(const std::string& name);

}  // namespace quilvane::archive
