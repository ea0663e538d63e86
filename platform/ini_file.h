#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quilvane::platform {

// The profile-file functions over one INI file. Each call opens the file,
// does its work and closes it; nothing is cached. Section and key names match
// without regard to ASCII letter case; blanks around values are dropped, then
// one pair of matching single or double quotes around the whole value (the
// ERP and the operator write `Caminho="C:\ERP\DADOS.FDB"`); values longer than
// 2047 characters are cut. The file is read in the ANSI
// code page unless it starts with a UTF-8 or UTF-16 byte-order mark.
class IniFile {
 public:
  explicit IniFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // The value, or `default_value` when the file, section or key is missing.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;

  // The value read as an integer: "0x" + hex (text longer than two
  // characters), or a signed decimal where a leading "$" marks hex. Text that
  // is no integer of 32 bits yields `default_value`.
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t default_value) const;

  bool ReadBool(std::string_view section, std::string_view key, bool default_value) const;

  // Replaces the key's value in place, or adds the key (and the section);
  // every other line stays as it was. The file is replaced in one step.
  // Throws platform::Error "Unable to write to <path>" when it cannot, and
  // when the file exists but cannot be read or decoded: it is never
  // replaced by a file holding only this key.
  void WriteString(std::string_view section, std::string_view key, std::string_view value) const;

 private:
  std::string path_;
};

// An INI file read once, for a group of reads (the settings a cycle reads
// together). A missing or unreadable file reads as empty. Same rules as
// IniFile's reads.
class IniSnapshot {
 public:
  explicit IniSnapshot(const std::string& path);

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t default_value) const;
  bool ReadBool(std::string_view section, std::string_view key, bool default_value) const;

  // Why a file that exists could not be read or decoded; empty when it was
  // read or is missing.
  const std::string& error() const { return error_; }

 private:
  std::vector<std::string> lines_;  // UTF-8, without line ends
  std::string error_;
};

// A value without one pair of matching quotes around it; quotes inside, and
// a lone or unmatched quote, stay.
std::string_view StripQuotes(std::string_view value);

// The integer reading of ReadInteger, on a value text.
bool ParseIniInteger(std::string_view text, std::int32_t& out);

}  // namespace quilvane::platform
