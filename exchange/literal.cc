#include "exchange/literal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quilvane::exchange {

std::string FormataValor(std::int64_t valor, int casas_decimais) {
  if (valor == 0) return "NULL";
  const int casas = std::clamp(casas_decimais, 0, 22);

  // Work on the magnitude as unsigned so that INT64_MIN has one too.
  const bool negative = valor < 0;
  std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(valor) + 1 : static_cast<std::uint64_t>(valor);

  // Round away the decimals beyond `casas` (the value holds four), an exact
  // half to the even result.
  if (casas < 4) {
    std::uint64_t divisor = 1;
    for (int i = casas; i < 4; ++i) divisor *= 10;
    const std::uint64_t quotient = magnitude / divisor;
    const std::uint64_t remainder = magnitude % divisor;
    const std::uint64_t twice = remainder * 2;  // remainder < 10^4: no overflow
    std::uint64_t rounded = quotient;
    if (twice > divisor || (twice == divisor && quotient % 2 == 1)) ++rounded;
    magnitude = rounded;  // now in units of 10^-casas
  }
  const int scale = std::min(casas, 4);  // decimals held by `magnitude`

  std::string digits = std::to_string(magnitude);
  if (static_cast<int>(digits.size()) <= scale) {
    digits.insert(0, static_cast<size_t>(scale + 1) - digits.size(), '0');
  }
  std::string out;
  out.reserve(digits.size() + 24);
  if (negative && magnitude != 0) out += '-';
  out.append(digits, 0, digits.size() - static_cast<size_t>(scale));
  if (casas > 0) {
    out += '.';
    out.append(digits, digits.size() - static_cast<size_t>(scale), std::string::npos);
    out.append(static_cast<size_t>(casas - scale), '0');
  }
  return out;
}

std::string FormataData(platform::DateTime data) {
  // The range of a Firebird DATE: 0001-01-01 to 9999-12-31.
  constexpr double kFirstDay = -693593;
  constexpr double kLastDay = 2958466;  // exclusive: the whole of 9999-12-31
  if (data == 0 || !std::isfinite(data) || data <= kFirstDay - 1 || data >= kLastDay) {
    return "NULL";
  }
  const platform::CivilDate d = platform::DecodeDate(data);
  char buf[32];
  std::snprintf(buf, sizeof buf, "'%d/%d/%04d'", d.month, d.day, d.year);
  return buf;
}

std::string FormataTexto(std::string_view texto) {
  if (texto.empty()) return "NULL";
  std::string out;
  out.reserve(texto.size() + 2);
  out += '\'';
  for (char c : texto) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

std::string ExtraiNumero(std::string_view texto) {
  std::string out;
  for (char c : texto) {
    if (c >= '0' && c <= '9') out += c;
  }
  return out;
}

}  // namespace quilvane::exchange
