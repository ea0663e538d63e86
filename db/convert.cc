#include "db/convert.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/codepage.h"

namespace quilvane::db::convert {
namespace {

constexpr std::int64_t kPow10[] = {1,
                                   10,
                                   100,
                                   1000,
                                   10000,
                                   100000,
                                   1000000,
                                   10000000,
                                   100000000,
                                   1000000000,
                                   10000000000,
                                   100000000000,
                                   1000000000000,
                                   10000000000000,
                                   100000000000000,
                                   1000000000000000,
                                   10000000000000000,
                                   100000000000000000,
                                   1000000000000000000};
constexpr int kMaxPow = 18;

}  // namespace

std::optional<std::int64_t> ScaledToCurrency(std::int64_t value, int scale) {
  const int shift = scale + 4;  // power of ten to multiply by
  if (shift >= 0) {
    if (shift > kMaxPow) return value == 0 ? std::optional<std::int64_t>(0) : std::nullopt;
    std::int64_t out;
    if (__builtin_mul_overflow(value, kPow10[shift], &out)) return std::nullopt;
    return out;
  }
  if (-shift > kMaxPow) return 0;  // far below a ten-thousandth
  const std::int64_t divisor = kPow10[-shift];
  std::int64_t quotient = value / divisor;
  const std::int64_t remainder = value % divisor;  // same sign as value
  const std::int64_t step = value < 0 ? -1 : 1;
  // Compare |remainder| with divisor / 2 without overflow.
  const std::int64_t abs_rem = remainder < 0 ? -remainder : remainder;
  const std::int64_t rest = divisor - abs_rem;
  if (abs_rem > rest || (abs_rem == rest && (quotient % 2) != 0)) quotient += step;
  return quotient;
}

std::optional<std::int64_t> DoubleToCurrency(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double scaled = std::nearbyint(value * 10000.0);  // ties to even
  // 2^63 is exact as a double; anything at or above it does not fit.
  if (!(scaled < 9223372036854775808.0) || !(scaled >= -9223372036854775808.0)) return std::nullopt;
  return static_cast<std::int64_t>(scaled);
}

std::string ScaledToText(std::int64_t value, int scale, char decimal_separator) {
  const bool negative = value < 0;
  // Digits of |value| without overflow for INT64_MIN.
  std::string digits;
  std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  std::string out;
  if (scale >= 0) {
    out = digits;
    if (out != "0") out.append(static_cast<size_t>(scale), '0');
  } else {
    const size_t decimals = static_cast<size_t>(-scale);
    if (digits.size() <= decimals) digits.insert(0, decimals - digits.size() + 1, '0');
    std::string whole = digits.substr(0, digits.size() - decimals);
    std::string fraction = digits.substr(digits.size() - decimals);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    out = whole;
    if (!fraction.empty()) {
      out += decimal_separator;
      out += fraction;
    }
  }
  if (negative && out != "0") out.insert(out.begin(), '-');
  return out;
}

std::string DoubleToText(double value, char decimal_separator) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  std::string out(buf, result.ptr);
  for (char& c : out) {
    if (c == '.') c = decimal_separator;
  }
  return out;
}

platform::DateTime FromIscDate(std::int32_t days) {
  return static_cast<platform::DateTime>(days - kIscDateOffset);
}

platform::DateTime FromIscTime(std::uint32_t ten_thousandths) {
  return static_cast<double>(ten_thousandths) / (86400.0 * 10000.0);
}

std::optional<IscTimestamp> ToIscTimestamp(platform::DateTime value) {
  if (!(value > -693594.0 && value < 2958466.0)) return std::nullopt;
  const double day = std::trunc(value);
  const double fraction = std::fabs(value - day);
  IscTimestamp out;
  out.date = static_cast<std::int32_t>(day) + kIscDateOffset;
  out.time =
      static_cast<std::uint32_t>(std::min(std::llround(fraction * 864000000.0), 863999999LL));
  return out;
}

std::string DbTextToUtf8(std::string_view bytes) { return platform::Windows1252ToUtf8(bytes); }

std::string Utf8ToDbText(std::string_view utf8, bool* lossless) {
  return platform::Utf8ToWindows1252(utf8, lossless);
}

std::string_view TrimTrailingBlanks(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  return text.substr(0, end);
}

std::optional<platform::DateTime> TextToDateTime(std::string_view text,
                                                 const platform::FormatSettings& fs,
                                                 int current_year) {
  size_t start = 0;
  while (start < text.size() && text[start] == ' ') ++start;
  text = TrimTrailingBlanks(text.substr(start));
  if (text.empty()) return std::nullopt;
  const size_t space = text.find(' ');
  const std::string_view date_part = text.substr(0, space);
  auto date = platform::ParseShortDate(date_part, fs, current_year);
  if (!date) return std::nullopt;
  if (space == std::string_view::npos) return date;

  std::string_view rest = text.substr(space);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  int parts[3] = {0, 0, 0};
  int count = 0;
  while (!rest.empty()) {
    if (count == 3) return std::nullopt;
    const char* begin = rest.data();
    const char* end = rest.data() + rest.size();
    int v = 0;
    auto [ptr, ec] = std::from_chars(begin, end, v);
    if (ec != std::errc() || ptr == begin || ptr - begin > 2) return std::nullopt;
    parts[count++] = v;
    rest.remove_prefix(static_cast<size_t>(ptr - begin));
    if (!rest.empty()) {
      if (rest.front() != fs.time_separator) return std::nullopt;
      rest.remove_prefix(1);
      if (rest.empty()) return std::nullopt;
    }
  }
  if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
  return *date + platform::EncodeTime(parts[0], parts[1], parts[2], 0);
}

}  // namespace quilvane::db::convert
