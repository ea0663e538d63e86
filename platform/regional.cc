#include "platform/regional.h"

#include <cstdio>
#include <vector>

namespace quilvane::platform {

std::string FormatShortDate(DateTime value, const FormatSettings& fs) {
  const CivilDate d = DecodeDate(value);
  const std::string& f = fs.short_date_format;
  std::string out;
  for (size_t i = 0; i < f.size();) {
    const char c = f[i];
    size_t run = 1;
    while (i + run < f.size() && f[i + run] == c) ++run;
    char buf[16];
    if (c == 'd' || c == 'M') {
      const int v = c == 'd' ? d.day : d.month;
      std::snprintf(buf, sizeof buf, run >= 2 ? "%02d" : "%d", v);
      out += buf;
    } else if (c == 'y') {
      if (run <= 2) {
        std::snprintf(buf, sizeof buf, "%02d", d.year % 100);
      } else {
        std::snprintf(buf, sizeof buf, "%04d", d.year);
      }
      out += buf;
    } else if (c == '/') {
      out.append(run, fs.date_separator);
    } else {
      out.append(run, c);
    }
    i += run;
  }
  return out;
}

std::string FormatLogStamp(DateTime value, const FormatSettings& fs) {
  const CivilDate d = DecodeDate(value);
  const CivilTime t = DecodeTime(value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%04d %02d%c%02d%c%02d", d.day, fs.date_separator,
                d.month, fs.date_separator, d.year, t.hour, fs.time_separator, t.minute,
                fs.time_separator, t.second);
  return buf;
}

DateOrder OrderOf(std::string_view f) {
  for (char c : f) {
    if (c == 'd' || c == 'D') return DateOrder::kDayMonthYear;
    if (c == 'M' || c == 'm') return DateOrder::kMonthDayYear;
    if (c == 'y' || c == 'Y' || c == 'e' || c == 'E') return DateOrder::kYearMonthDay;
  }
  return DateOrder::kDayMonthYear;
}

std::optional<DateTime> ParseDate(std::string_view text, DateOrder order, char separator,
                                  int current_year) {
  struct Number {
    int value;
    int digits;
  };
  std::vector<Number> numbers;
  size_t i = 0;
  auto skip_spaces = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  bool trailing_separator = false;
  while (true) {
    skip_spaces();
    if (i >= text.size()) break;
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    if (numbers.size() == 3) return std::nullopt;
    int value = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (value > 99999) return std::nullopt;  // no year, month or day is that long
      value = value * 10 + (text[i] - '0');
      ++digits;
      ++i;
    }
    numbers.push_back({value, digits});
    skip_spaces();
    if (i >= text.size()) break;
    if (text[i] != separator) return std::nullopt;
    ++i;
    skip_spaces();
    if (i >= text.size()) {
      trailing_separator = true;
      break;
    }
  }
  (void)trailing_separator;
  if (numbers.size() < 2) return std::nullopt;

  int year = current_year;
  int month = 0;
  int day = 0;
  bool year_given = numbers.size() == 3;
  int year_digits = 4;
  if (numbers.size() == 3) {
    switch (order) {
      case DateOrder::kDayMonthYear:
        day = numbers[0].value, month = numbers[1].value, year = numbers[2].value;
        year_digits = numbers[2].digits;
        break;
      case DateOrder::kMonthDayYear:
        month = numbers[0].value, day = numbers[1].value, year = numbers[2].value;
        year_digits = numbers[2].digits;
        break;
      case DateOrder::kYearMonthDay:
        year = numbers[0].value, month = numbers[1].value, day = numbers[2].value;
        year_digits = numbers[0].digits;
        break;
    }
  } else {
    if (order == DateOrder::kMonthDayYear) {
      month = numbers[0].value, day = numbers[1].value;
    } else if (order == DateOrder::kDayMonthYear) {
      day = numbers[0].value, month = numbers[1].value;
    } else {
      month = numbers[0].value, day = numbers[1].value;
    }
  }
  if (year_given && year_digits <= 2) {
    const int pivot = current_year - 50;
    year += pivot / 100 * 100;
    if (year < pivot) year += 100;
  }
  return TryEncodeDate(year, month, day);
}

std::optional<DateTime> ParseShortDate(std::string_view text, const FormatSettings& fs,
                                       int current_year) {
  return ParseDate(text, OrderOf(fs.short_date_format), fs.date_separator, current_year);
}

}  // namespace quilvane::platform
