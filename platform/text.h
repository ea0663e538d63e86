#pragma once

#include <string>
#include <string_view>

namespace quilvane::platform {

// ASCII letters only: names on the wire, in archives and in settings are
// compared so whatever the process's locale, and bytes 0x80-0xFF are never
// folded.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiLower(std::string s) {
  for (char& c : s) c = AsciiLower(c);
  return s;
}

inline std::string AsciiUpper(std::string s) {
  for (char& c : s) c = AsciiUpper(c);
  return s;
}

// Whether every byte of `s` is ASCII, which reads the same in UTF-8 and in
// every code page the program meets.
inline bool IsAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Whether `a` and `b` are equal with ASCII letter case ignored.
inline bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace quilvane::platform
