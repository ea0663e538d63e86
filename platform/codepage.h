#pragma once

#include <string>
#include <string_view>

namespace quilvane::platform {

// Text is held as UTF-8 in memory and converted at the edges: the ANSI code
// page for the exchange file, the log and the INI files, the OEM code page
// for archive member names, Windows-1252 for the database's text (see
// Utf8ToWindows1252).

// Characters a code page cannot hold become '?'. `lossless`, when given, is
// set to whether every character could be held.
std::string Utf8ToAnsi(std::string_view utf8, bool* lossless = nullptr);
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToOem(std::string_view utf8, bool* lossless = nullptr);
std::string OemToUtf8(std::string_view oem);
std::string Utf8ToLatin1(std::string_view utf8, bool* lossless = nullptr);
std::string Latin1ToUtf8(std::string_view latin1);

// Windows-1252 on every system, whatever its own code pages. The five bytes
// it leaves undefined (0x81 0x8D 0x8F 0x90 0x9D) decode as the C1 controls of
// the same value and encode back to that byte, as Windows converts them, so
// encoding what was decoded gives every byte back.
std::string Utf8ToWindows1252(std::string_view utf8, bool* lossless = nullptr);
std::string Windows1252ToUtf8(std::string_view bytes);

// Whether the ANSI code page can hold every character of `utf8`.
bool AnsiCanHold(std::string_view utf8);

bool IsValidUtf8(std::string_view bytes);

// One code point of UTF-8 at `i`, advancing `i`; a byte that starts no valid
// sequence is consumed alone and yields U+FFFD.
char32_t NextUtf8CodePoint(std::string_view s, size_t& i);
// Appends `cp` as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// UTF-16 in either byte order, as stored in a file. Decoding throws
// platform::Error on an odd length or an unpaired surrogate.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian);
std::string Utf8ToUtf16(std::string_view utf8, bool big_endian);

}  // namespace quilvane::platform
