#include "exchange/exact_number.h"

namespace quilvane::exchange {

std::optional<std::int64_t> ExactTenThousandths(std::string_view number) {
  const bool negative = !number.empty() && number.front() == '-';
  if (negative) number.remove_prefix(1);
  const std::size_t dot = number.find('.');
  std::string_view whole = number.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? "" : number.substr(dot + 1);
  if (whole.size() + fraction.size() > kMaxExactDigits) return std::nullopt;
  while (fraction.size() > 4 && fraction.back() == '0') fraction.remove_suffix(1);
  if (fraction.size() > 4) return std::nullopt;
  std::int64_t value = 0;
  for (char c : whole) {
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, c - '0', &value)) {
      return std::nullopt;
    }
  }
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = i < fraction.size() ? fraction[i] - '0' : 0;
    if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, digit, &value)) {
      return std::nullopt;
    }
  }
  return negative ? -value : value;
}

}  // namespace quilvane::exchange
