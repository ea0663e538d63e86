#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace quilvane::platform {

// The regional settings of the account the process runs under.
struct FormatSettings {
  char date_separator = '/';
  char time_separator = ':';
  char decimal_separator = ',';
  // Letters d, M, y; "/" stands for date_separator.
  std::string short_date_format = "dd/MM/yyyy";
};

// The process's regional settings: from LC_TIME and LC_NUMERIC when they name
// a real locale, otherwise (the C/POSIX locale of a service) the Brazilian
// defaults above.
FormatSettings SystemFormatSettings();

// Applies the short date format to the day of `value`.
std::string FormatShortDate(DateTime value, const FormatSettings& fs);

// "DD/MM/YYYY HH:mm:ss" with the regional date and time separators.
std::string FormatLogStamp(DateTime value, const FormatSettings& fs);

enum class DateOrder { kDayMonthYear, kMonthDayYear, kYearMonthDay };

// The order of day, month and year in a short date format: its first d, M or
// y (or e) letter decides.
DateOrder OrderOf(std::string_view short_date_format);

// Reads two or three unsigned numbers separated by `separator`, in `order`;
// spaces before each number and separator and at the end are allowed, and
// one separator may follow the last number. Two numbers: the year is
// `current_year`. A year of one or two digits lies in the 50-year window
// ending 50 years after `current_year`. nullopt when the text does not form
// a valid date.
std::optional<DateTime> ParseDate(std::string_view text, DateOrder order, char separator,
                                  int current_year);

// ParseDate with the order and separator of the regional settings.
std::optional<DateTime> ParseShortDate(std::string_view text, const FormatSettings& fs,
                                       int current_year);

}  // namespace quilvane::platform
