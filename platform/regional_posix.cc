#include <langinfo.h>
#include <locale.h>

#include <cstring>
#include <string>

#include "platform/regional.h"

namespace quilvane::platform {
namespace {

bool IsPlainLocale(const char* name) {
  return name == nullptr || *name == '\0' || std::strcmp(name, "C") == 0 ||
         std::strcmp(name, "POSIX") == 0 || std::strncmp(name, "C.", 2) == 0;
}

// Turns a strftime date format ("%d/%m/%Y") into a short date format.
bool FromStrftime(const char* f, FormatSettings& fs) {
  std::string out;
  char separator = 0;
  for (const char* p = f; *p; ++p) {
    if (*p == '%' && p[1]) {
      ++p;
      while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0') ++p;
      switch (*p) {
        case 'd':
        case 'e':
          out += "dd";
          break;
        case 'm':
          out += "MM";
          break;
        case 'Y':
          out += "yyyy";
          break;
        case 'y':
          out += "yy";
          break;
        default:
          return false;
      }
    } else if (!out.empty()) {
      if (separator == 0) separator = *p;
      if (*p == separator)
        out += '/';
      else
        out += *p;
    }
  }
  if (separator == 0 || out.find("dd") == std::string::npos) return false;
  fs.short_date_format = out;
  fs.date_separator = separator;
  return true;
}

}  // namespace

FormatSettings SystemFormatSettings() {
  FormatSettings fs;
  if (locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr))) {
    const char* name = setlocale(LC_TIME, nullptr);
    (void)name;
    const char* time_name = nl_langinfo_l(_NL_LOCALE_NAME(LC_TIME), loc);
    if (!IsPlainLocale(time_name)) {
      FromStrftime(nl_langinfo_l(D_FMT, loc), fs);
      const char* t = nl_langinfo_l(T_FMT, loc);
      for (const char* p = t; *p; ++p) {
        if (*p == '%' && p[1]) {
          ++p;
          continue;
        }
        fs.time_separator = *p;
        break;
      }
    }
    freelocale(loc);
  }
  if (locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
    const char* name = nl_langinfo_l(_NL_LOCALE_NAME(LC_NUMERIC), loc);
    if (!IsPlainLocale(name)) {
      const char* radix = nl_langinfo_l(RADIXCHAR, loc);
      if (radix && radix[0] && !radix[1]) fs.decimal_separator = radix[0];
    }
    freelocale(loc);
  }
  return fs;
}

}  // namespace quilvane::platform
