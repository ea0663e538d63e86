#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quilvane::exchange {

// A literal the server reads as an exact numeric keeps its digits; past 18
// of them it is no longer one.
inline constexpr std::size_t kMaxExactDigits = 18;

// A number literal ("-12.50") as an exact count of ten-thousandths; nullopt
// when it has significant digits past the fourth decimal, more than
// kMaxExactDigits digits, or does not fit.
std::optional<std::int64_t> ExactTenThousandths(std::string_view number);

}  // namespace quilvane::exchange
