#pragma once

// Value conversions of the database layer, as pure functions of a column's
// stored value. Internal; Field applies them to a row.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/datetime.h"
#include "platform/regional.h"

namespace quilvane::db::convert {

// Days from 17 November 1858 (Firebird's day 0) to 30 December 1899 (a
// date-time's day 0).
inline constexpr std::int32_t kIscDateOffset = 15018;

// value * 10^scale as ten-thousandths. Exact for scale >= -4; more decimals
// are rounded to the nearest, an exact half to the even ten-thousandth.
// nullopt when the result does not fit 64 bits.
std::optional<std::int64_t> ScaledToCurrency(std::int64_t value, int scale);

// value * 10000 rounded to the nearest integer, an exact half to the even
// one. nullopt for NaN, infinities and values out of the 64-bit range.
std::optional<std::int64_t> DoubleToCurrency(double value);

// value * 10^scale in its shortest decimal form: "-" before a negative
// value, `decimal_separator` before the fraction, trailing zeros of the
// fraction dropped, no thousands separator.
std::string ScaledToText(std::int64_t value, int scale, char decimal_separator);

// The shortest text that reads back as the same double, with the regional
// decimal separator.
std::string DoubleToText(double value, char decimal_separator);

// Firebird's DATE (days since 17 November 1858) and TIME (ten-thousandths
// of a second since midnight) as a date-time.
platform::DateTime FromIscDate(std::int32_t days);
platform::DateTime FromIscTime(std::uint32_t ten_thousandths);

// A Firebird TIMESTAMP: days since 17 November 1858 and ten-thousandths of a
// second since midnight.
struct IscTimestamp {
  std::int32_t date = 0;
  std::uint32_t time = 0;
};

// `value` as a TIMESTAMP, its time of day rounded to the nearest
// ten-thousandth of a second (at most the day's last one). nullopt outside the
// years 1 to 9999, the range of a Firebird date.
std::optional<IscTimestamp> ToIscTimestamp(platform::DateTime value);

// The ERP's text as its ISO8859_1 columns hold it. Windows programs store
// Windows-1252 there ("\x80" for the euro sign, "\x93" and "\x94" for
// quotation marks, "\x96" for a dash), so the bytes are read as Windows-1252,
// its five undefined bytes (0x81 0x8D 0x8F 0x90 0x9D) as the C1 controls of
// the same value. Utf8ToDbText gives every byte back; a character
// Windows-1252 lacks becomes '?' and sets `lossless` to false.
std::string DbTextToUtf8(std::string_view bytes);
std::string Utf8ToDbText(std::string_view utf8, bool* lossless);

// Text without its trailing blanks.
std::string_view TrimTrailingBlanks(std::string_view text);

// Reads a date with an optional time ("dd/MM/yyyy", "dd/MM/yyyy HH:mm",
// "dd/MM/yyyy HH:mm:ss") by the regional settings. nullopt when the text
// does not convert.
std::optional<platform::DateTime> TextToDateTime(std::string_view text,
                                                 const platform::FormatSettings& fs,
                                                 int current_year);

}  // namespace quilvane::db::convert
