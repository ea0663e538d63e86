// Regional settings on Windows: the user default locale of the account the
// process runs under (LocalSystem's for the service).
#include <windows.h>

#include <string>

#include "platform/regional.h"
#include "platform/wide_windows.h"

namespace quilvane::platform {
namespace {

std::wstring LocaleText(LCTYPE type) {
  wchar_t buf[128];
  const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buf, 128);
  if (n <= 1) return {};
  return std::wstring(buf, static_cast<size_t>(n - 1));
}

// A one-character separator held in a single byte; anything else keeps the
// default (the rest of the system formats with single-byte separators).
void TakeSeparator(const std::wstring& text, char& out) {
  if (text.size() == 1 && text[0] > L' ' && text[0] < 0x7f) out = static_cast<char>(text[0]);
}

// The system's short date picture ("dd/MM/yyyy", "M/d/yyyy", "yyyy-MM-dd")
// in the form FormatShortDate reads: d, M, y runs kept, the date separator
// written as "/". Quoted literals and other letters (era, day names) are
// dropped: false when no day, month and year remain.
bool FromPicture(const std::wstring& picture, char separator, std::string& out) {
  std::string result;
  bool quoted = false;
  for (wchar_t c : picture) {
    if (c == L'\'') {
      quoted = !quoted;
      continue;
    }
    if (quoted) continue;
    if (c == L'd' || c == L'M' || c == L'y') {
      result += static_cast<char>(c);
    } else if (c == static_cast<wchar_t>(static_cast<unsigned char>(separator)) || c == L'/') {
      result += '/';
    } else if (c == L'.' || c == L'-' || c == L' ') {
      result += static_cast<char>(c);
    }
  }
  // "dddd" names the weekday; the short form never should, but keep only
  // the numeric day.
  if (result.find("ddd") != std::string::npos) return false;
  if (result.find('d') == std::string::npos || result.find('M') == std::string::npos ||
      result.find('y') == std::string::npos) {
    return false;
  }
  out = result;
  return true;
}

}  // namespace

FormatSettings SystemFormatSettings() {
  FormatSettings fs;
  TakeSeparator(LocaleText(LOCALE_SDATE), fs.date_separator);
  TakeSeparator(LocaleText(LOCALE_STIME), fs.time_separator);
  TakeSeparator(LocaleText(LOCALE_SDECIMAL), fs.decimal_separator);
  const std::wstring picture = LocaleText(LOCALE_SSHORTDATE);
  std::string format;
  if (!picture.empty() && FromPicture(picture, fs.date_separator, format)) {
    fs.short_date_format = format;
  }
  return fs;
}

}  // namespace quilvane::platform
