#include "platform/codepage.h"

#include <array>
#include <cstdint>
#include <unordered_map>

#include "platform/error.h"

namespace quilvane::platform {
namespace {

#include "platform/codepage_tables.inc"

struct SingleByte {
  const char16_t* high;
  std::unordered_map<char32_t, char> reverse;
  explicit SingleByte(const char16_t* h) : high(h) {
    for (int b = 0; b < 128; ++b) reverse.emplace(h[b], static_cast<char>(0x80 + b));
  }
};

const SingleByte& Cp1252() {
  static const SingleByte t(kCp1252High);
  return t;
}
#ifndef _WIN32
const SingleByte& Cp850() {
  static const SingleByte t(kCp850High);
  return t;
}
#endif

std::string Encode(std::string_view utf8, const SingleByte* table, bool* lossless) {
  std::string out;
  out.reserve(utf8.size());
  bool ok = true;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    const char32_t cp = NextUtf8CodePoint(utf8, i);
    if (table == nullptr) {
      if (cp <= 0xFF) {
        out += static_cast<char>(cp);
        continue;
      }
    } else if (auto it = table->reverse.find(cp); it != table->reverse.end()) {
      out += it->second;
      continue;
    }
    out += '?';
    ok = false;
  }
  if (lossless) *lossless = ok;
  return out;
}

std::string Decode(std::string_view bytes, const char16_t* high) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      AppendUtf8(out, high ? high[b - 0x80] : b);
    }
  }
  return out;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t NextUtf8CodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0)
    len = 2, cp = b0 & 0x1F;
  else if ((b0 & 0xF0) == 0xE0)
    len = 3, cp = b0 & 0x0F;
  else if ((b0 & 0xF8) == 0xF0)
    len = 4, cp = b0 & 0x07;
  else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

#ifndef _WIN32
// Windows-1252 and CP850 stand for the ANSI and OEM code pages; Windows uses
// the system's own (codepage_windows.cc).
std::string Utf8ToAnsi(std::string_view utf8, bool* lossless) {
  return Utf8ToWindows1252(utf8, lossless);
}
std::string AnsiToUtf8(std::string_view ansi) { return Windows1252ToUtf8(ansi); }
std::string Utf8ToOem(std::string_view utf8, bool* lossless) {
  return Encode(utf8, &Cp850(), lossless);
}
std::string OemToUtf8(std::string_view oem) { return Decode(oem, kCp850High); }
#endif
std::string Utf8ToLatin1(std::string_view utf8, bool* lossless) {
  return Encode(utf8, nullptr, lossless);
}
std::string Latin1ToUtf8(std::string_view latin1) { return Decode(latin1, nullptr); }
std::string Utf8ToWindows1252(std::string_view utf8, bool* lossless) {
  return Encode(utf8, &Cp1252(), lossless);
}
std::string Windows1252ToUtf8(std::string_view bytes) { return Decode(bytes, kCp1252High); }

bool AnsiCanHold(std::string_view utf8) {
  bool lossless = true;
  Utf8ToAnsi(utf8, &lossless);
  return lossless;
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const size_t before = i;
    const char32_t cp = NextUtf8CodePoint(bytes, i);
    if (cp == 0xFFFD && !(b == 0xEF && i - before == 3)) return false;
  }
  return true;
}

std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  if (bytes.size() % 2 != 0)
    throw Error("No mapping for the Unicode character exists in the target multi-byte code page");
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t k) -> char16_t {
    const auto a = static_cast<unsigned char>(bytes[k]);
    const auto b = static_cast<unsigned char>(bytes[k + 1]);
    return big_endian ? static_cast<char16_t>(a << 8 | b) : static_cast<char16_t>(b << 8 | a);
  };
  for (size_t k = 0; k < bytes.size(); k += 2) {
    char32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (k + 2 >= bytes.size())
        throw Error(
            "No mapping for the Unicode character exists in the target multi-byte code page");
      const char32_t lo = unit(k + 2);
      if (lo < 0xDC00 || lo > 0xDFFF)
        throw Error(
            "No mapping for the Unicode character exists in the target multi-byte code page");
      u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      k += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      throw Error("No mapping for the Unicode character exists in the target multi-byte code page");
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::string Utf8ToUtf16(std::string_view utf8, bool big_endian) {
  std::string out;
  out.reserve(utf8.size() * 2);
  auto put = [&](char16_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    if (big_endian)
      out += hi, out += lo;
    else
      out += lo, out += hi;
  };
  for (size_t i = 0; i < utf8.size();) {
    const char32_t cp = NextUtf8CodePoint(utf8, i);
    if (cp >= 0x10000) {
      put(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      put(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace quilvane::platform
