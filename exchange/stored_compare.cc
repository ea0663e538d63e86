#include "exchange/stored_compare.h"

#include <cstdint>
#include <limits>

#include "exchange/exact_number.h"
#include "platform/datetime.h"

namespace quilvane::exchange {
namespace {

bool FitsStorage(std::int64_t value, int field_type) {
  switch (field_type) {
    case kFieldSmallint:
      return value >= std::numeric_limits<std::int16_t>::min() &&
             value <= std::numeric_limits<std::int16_t>::max();
    case kFieldInteger:
      return value >= std::numeric_limits<std::int32_t>::min() &&
             value <= std::numeric_limits<std::int32_t>::max();
    default:
      return true;
  }
}

std::optional<db::StoredValue> ConvertNumber(std::string_view number, const ColumnType& type) {
  if (type.kind != ColumnType::Kind::kExactNumber) return std::nullopt;
  const std::optional<std::int64_t> ten_thousandths = ExactTenThousandths(number);
  if (!ten_thousandths) return std::nullopt;
  std::int64_t value = *ten_thousandths;
  if (type.scale >= -4) {
    std::int64_t divisor = 1;
    for (int s = type.scale; s > -4; --s) divisor *= 10;
    if (value % divisor != 0) return std::nullopt;  // the server would round
    value /= divisor;
  } else {
    for (int s = type.scale; s < -4; ++s) {
      if (__builtin_mul_overflow(value, 10, &value)) return std::nullopt;
    }
  }
  if (!FitsStorage(value, type.field_type)) return std::nullopt;
  db::StoredValue out;
  out.kind = db::StoredValue::Kind::kExact;
  out.integer = value;
  out.scale = type.scale;
  return out;
}

// 'M/D/YYYY' exactly as the export writes a date; the server reads a
// slash-separated date month first.
std::optional<std::int32_t> IscDayOf(std::string_view text) {
  int parts[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int part = 0;
  for (char c : text) {
    if (c == '/') {
      if (++part > 2) return std::nullopt;
    } else if (c >= '0' && c <= '9') {
      if (++digits[part] > 4) return std::nullopt;
      parts[part] = parts[part] * 10 + (c - '0');
    } else {
      return std::nullopt;
    }
  }
  if (part != 2 || digits[0] < 1 || digits[0] > 2 || digits[1] < 1 || digits[1] > 2 ||
      digits[2] != 4 || parts[2] < 1000) {
    return std::nullopt;  // a short year the server would place in a century of its own
  }
  const std::optional<platform::DateTime> date =
      platform::TryEncodeDate(parts[2], parts[0], parts[1]);
  if (!date) return std::nullopt;
  return db::IscDayOf(*date);
}

std::optional<db::StoredValue> ConvertText(std::string_view doubled, const ColumnType& type) {
  db::StoredValue out;
  if (type.field_type == kFieldChar || type.field_type == kFieldVarchar) {
    std::string bytes = Unquote(doubled);
    const bool fixed = type.field_type == kFieldChar;
    // Past the column's length the server trims blanks or refuses.
    if (bytes.size() > static_cast<std::size_t>(type.length)) return std::nullopt;
    out.kind = db::StoredValue::Kind::kText;
    out.bytes = fixed ? std::string(WithoutTrailingBlanks(bytes)) : std::move(bytes);
    out.fixed_length = fixed;
    return out;
  }
  if (type.field_type == kFieldDate || type.field_type == kFieldTimestamp) {
    const std::optional<std::int32_t> day = IscDayOf(doubled);
    if (!day) return std::nullopt;
    out.kind = type.field_type == kFieldDate ? db::StoredValue::Kind::kDate
                                             : db::StoredValue::Kind::kTimestamp;
    out.date = *day;
    return out;
  }
  return std::nullopt;
}

}  // namespace

ColumnType ColumnTypeOf(int field_type, int scale, int length) {
  ColumnType type;
  type.field_type = field_type;
  type.scale = scale;
  type.length = length;
  switch (field_type) {
    case kFieldSmallint:
    case kFieldInteger:
    case kFieldBigint:  // also NUMERIC and DECIMAL
      type.kind = ColumnType::Kind::kExactNumber;
      break;
    case kFieldFloat:
    case kFieldDouble:
      type.kind = ColumnType::Kind::kFloat;
      break;
    case kFieldChar:
    case kFieldVarchar:
      type.kind = ColumnType::Kind::kText;
      break;
    default:
      type.kind = ColumnType::Kind::kOther;
  }
  return type;
}

std::string_view WithoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::string Unquote(std::string_view doubled) {
  std::string out;
  out.reserve(doubled.size());
  for (std::size_t i = 0; i < doubled.size(); ++i) {
    out += doubled[i];
    if (doubled[i] == '\'') ++i;  // validated: every apostrophe is doubled
  }
  return out;
}

std::optional<db::StoredValue> ConvertLiteral(const Literal& literal, const ColumnType& type) {
  switch (literal.kind) {
    case Literal::Kind::kNull:
      return db::StoredValue{};
    case Literal::Kind::kNumber:
      return ConvertNumber(literal.text, type);
    case Literal::Kind::kText:
      return ConvertText(literal.text, type);
    default:
      return std::nullopt;
  }
}

bool Holds(const db::StoredValue& stored, const db::StoredValue& converted) {
  using Kind = db::StoredValue::Kind;
  if (stored.kind != converted.kind) return false;
  switch (stored.kind) {
    case Kind::kNull:
      return true;
    case Kind::kExact:
      return stored.scale == converted.scale && stored.integer == converted.integer;
    case Kind::kText:
      // A fetched CHAR comes without its padding, as ConvertLiteral gives it.
      return stored.fixed_length == converted.fixed_length && stored.bytes == converted.bytes;
    case Kind::kDate:
      return stored.date == converted.date;
    case Kind::kTimestamp:
      return stored.date == converted.date && stored.time == converted.time;
    default:
      return false;  // never converted: only the server compares these
  }
}

}  // namespace quilvane::exchange
