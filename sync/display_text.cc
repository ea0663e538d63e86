#include <algorithm>

#include "platform/codepage.h"
#include "sync/receipt.h"

namespace quilvane::sync {

std::string DisplayText(std::string_view text, size_t max_chars) {
  std::string out;
  out.reserve(std::min(text.size(), max_chars * 2));
  size_t chars = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp = platform::NextUtf8CodePoint(text, i);
    if (chars + 1 == max_chars && i < text.size()) {
      out += "\u2026";
      return out;
    }
    if (chars == max_chars) return out;
    // Controls would move a terminal's cursor; direction overrides would
    // make a code read as another.
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0x202A && cp <= 0x202E) ||
        (cp >= 0x2066 && cp <= 0x2069)) {
      cp = ' ';
    }
    platform::AppendUtf8(out, cp);
    ++chars;
  }
  return out;
}

size_t CharCount(std::string_view utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size(); ++n) platform::NextUtf8CodePoint(utf8, i);
  return n;
}

}  // namespace quilvane::sync
