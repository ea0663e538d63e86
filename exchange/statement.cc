#include "exchange/statement.h"

#include "exchange/format.h"

namespace quilvane::exchange {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A control byte inside a quoted text: no product field the export reads holds
// one (a tab excepted), and a NUL would be cut by the text path but stored by a
// parameter, so the line is refused whichever way it would run.
bool IsRefusedControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 && byte != '\t';
}

// Consumes one literal at `pos` into `out`; false when none stands there.
bool ConsumeLiteral(std::string_view line, std::size_t& pos, Literal& out) {
  if (pos >= line.size()) return false;
  const char c = line[pos];
  if (c == '\'') {
    const std::size_t start = ++pos;
    while (pos < line.size()) {
      if (line[pos] == '\'') {
        if (pos + 1 < line.size() && line[pos + 1] == '\'') {
          pos += 2;
          continue;
        }
        out = {Literal::Kind::kText, line.substr(start, pos - start)};
        ++pos;  // the closing apostrophe
        return true;
      }
      if (IsRefusedControl(line[pos])) return false;
      ++pos;
    }
    return false;  // unterminated
  }
  if (line.substr(pos, 4) == "NULL") {
    out = {Literal::Kind::kNull, line.substr(pos, 4)};
    pos += 4;
    return true;
  }
  std::size_t p = pos;
  if (line[p] == '-') ++p;
  const std::size_t int_start = p;
  while (p < line.size() && IsDigit(line[p])) ++p;
  if (p == int_start) return false;
  if (p < line.size() && line[p] == '.') {
    ++p;
    const std::size_t frac_start = p;
    while (p < line.size() && IsDigit(line[p])) ++p;
    if (p == frac_start) return false;
  }
  out = {Literal::Kind::kNumber, line.substr(pos, p - pos)};
  pos = p;
  return true;
}

bool ConsumeText(std::string_view line, std::size_t& pos, std::string_view text) {
  if (line.substr(pos, text.size()) != text) return false;
  pos += text.size();
  return true;
}

}  // namespace

std::optional<StatementLiterals> ParseExportedStatement(std::string_view line) {
  if (line.size() > kMaxLineLength) return std::nullopt;
  StatementLiterals literals;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < kStatementPartCount; ++i) {
    const std::string_view fixed = kStatementParts[i].fixed_text;
    if (!ConsumeText(line, pos, fixed)) {
      if (i == kPopularPart) continue;  // the optional pair is absent
      return std::nullopt;
    }
    if (!ConsumeLiteral(line, pos, literals[i])) return std::nullopt;
  }
  if (pos != line.size()) return std::nullopt;
  return literals;
}

bool IsExportedStatement(std::string_view line) { return ParseExportedStatement(line).has_value(); }

}  // namespace quilvane::exchange
