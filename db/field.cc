// The conversions of a query's current row to the values callers read.
#include <charconv>
#include <cmath>

#include "db/convert.h"
#include "db/error.h"
#include "db/handles.h"
#include "db/query.h"

namespace quilvane::db {
namespace {

[[noreturn]] void CannotAccess(const std::string& name, const char* type) {
  throw DbError("Cannot access field '" + name + "' as type " + type);
}

[[noreturn]] void OutOfRange(const std::string& name, const char* range) {
  throw DbError("The value of field '" + name + "' is out of the " + range + " range");
}

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

}  // namespace

const std::string& Field::name() const { return query_->state_->columns[index_].name; }

bool Field::IsNull() const {
  const std::optional<std::string_view> v = query_->Value(index_);
  if (!v) return true;
  const Column& c = query_->state_->columns[index_];
  return IsTextType(c.type) && v->empty();
}

std::string Field::AsString() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> v = query_->Value(index_);
  const platform::FormatSettings& fs = query_->state_->regional;
  const bool known = IsTextType(c.type) || IsIntegerType(c.type) || IsFloatType(c.type) ||
                     IsDateType(c.type) || c.type == SQL_BOOLEAN;
  if (!known) CannotAccess(c.name, "String");
  if (!v) return {};
  const char* data = v->data();
  if (IsTextType(c.type)) return convert::DbTextToUtf8(*v);
  if (IsIntegerType(c.type)) {
    return convert::ScaledToText(LoadInteger(c, data), c.scale, fs.decimal_separator);
  }
  if (IsFloatType(c.type)) return convert::DoubleToText(LoadFloat(c, data), fs.decimal_separator);
  if (c.type == SQL_BOOLEAN) return *data != 0 ? "True" : "False";
  const platform::DateTime d = AsDateTime();
  const platform::CivilTime t = platform::DecodeTime(d);
  const std::string time = TwoDigits(t.hour) + fs.time_separator + TwoDigits(t.minute) +
                           fs.time_separator + TwoDigits(t.second);
  if (c.type == SQL_TYPE_TIME) return time;
  std::string out = platform::FormatShortDate(d, fs);
  if (c.type == SQL_TIMESTAMP && (t.hour | t.minute | t.second) != 0) out += " " + time;
  return out;
}

std::int64_t Field::AsCurrency() const {
  const Column& c = query_->state_->columns[index_];
  if (!IsIntegerType(c.type) && !IsFloatType(c.type)) CannotAccess(c.name, "Currency");
  const std::optional<std::string_view> value = query_->Value(index_);
  if (!value) return 0;
  const char* data = value->data();
  const std::optional<std::int64_t> v =
      IsIntegerType(c.type) ? convert::ScaledToCurrency(LoadInteger(c, data), c.scale)
                            : convert::DoubleToCurrency(LoadFloat(c, data));
  if (!v) OutOfRange(c.name, "currency");
  return *v;
}

platform::DateTime Field::AsDateTime() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> v = query_->Value(index_);
  if (IsTextType(c.type)) {
    const std::string text = v ? AsString() : std::string();
    auto d = convert::TextToDateTime(text, query_->state_->regional, query_->state_->current_year);
    if (!d) throw DbError("'" + text + "' is not a valid date and time");
    return *d;
  }
  if (!IsDateType(c.type)) CannotAccess(c.name, "DateTime");
  if (!v) return 0;
  const char* data = v->data();
  if (c.type == SQL_TYPE_DATE) return convert::FromIscDate(Load<ISC_DATE>(data));
  if (c.type == SQL_TYPE_TIME) return convert::FromIscTime(Load<ISC_TIME>(data));
  const platform::DateTime day = convert::FromIscDate(Load<ISC_DATE>(data));
  const platform::DateTime time = convert::FromIscTime(Load<ISC_TIME>(data + sizeof(ISC_DATE)));
  // Before 30 December 1899 the time of day counts away from zero.
  return day < 0 ? day - time : day + time;
}

std::int64_t Field::AsInteger() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> value = query_->Value(index_);
  if (IsTextType(c.type)) {
    const std::string text = value ? AsString() : std::string();
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
      throw DbError("'" + text + "' is not a valid integer value");
    }
    return v;
  }
  if (!IsIntegerType(c.type) && !IsFloatType(c.type)) CannotAccess(c.name, "Integer");
  if (!value) return 0;
  const char* data = value->data();
  if (IsFloatType(c.type)) {
    const double d = LoadFloat(c, data);
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) OutOfRange(c.name, "integer");
    return static_cast<std::int64_t>(d);
  }
  std::int64_t v = LoadInteger(c, data);
  for (int s = c.scale; s < 0; ++s) v /= 10;
  for (int s = c.scale; s > 0; --s) {
    if (__builtin_mul_overflow(v, 10, &v)) OutOfRange(c.name, "integer");
  }
  return v;
}

StoredValue Field::Stored() const {
  const Column& c = query_->state_->columns[index_];
  const std::optional<std::string_view> v = query_->Value(index_);
  StoredValue out;
  if (!v) return out;
  const char* data = v->data();
  if (IsTextType(c.type)) {
    out.kind = StoredValue::Kind::kText;
    out.bytes = std::string(*v);
    out.fixed_length = c.type == SQL_TEXT;
  } else if (IsIntegerType(c.type)) {
    out.kind = StoredValue::Kind::kExact;
    out.integer = LoadInteger(c, data);
    out.scale = c.scale;
  } else if (c.type == SQL_DOUBLE) {
    out.kind = StoredValue::Kind::kDouble;
    out.real = LoadFloat(c, data);
  } else if (c.type == SQL_TYPE_DATE) {
    out.kind = StoredValue::Kind::kDate;
    out.date = Load<ISC_DATE>(data);
  } else if (c.type == SQL_TIMESTAMP) {
    out.kind = StoredValue::Kind::kTimestamp;
    out.date = Load<ISC_DATE>(data);
    out.time = Load<ISC_TIME>(data + sizeof(ISC_DATE));
  } else {
    out.kind = StoredValue::Kind::kOther;
  }
  return out;
}

std::int32_t IscDayOf(platform::DateTime day) {
  return static_cast<std::int32_t>(platform::DayOf(day) + convert::kIscDateOffset);
}

std::string StoredValueText(const StoredValue& value, const platform::FormatSettings& fs) {
  using Kind = StoredValue::Kind;
  switch (value.kind) {
    case Kind::kExact:
      return convert::ScaledToText(value.integer, value.scale, fs.decimal_separator);
    case Kind::kDouble:
      return convert::DoubleToText(value.real, fs.decimal_separator);
    case Kind::kText:
      return convert::DbTextToUtf8(value.fixed_length ? convert::TrimTrailingBlanks(value.bytes)
                                                      : std::string_view(value.bytes));
    case Kind::kDate:
    case Kind::kTimestamp: {
      const platform::DateTime day = convert::FromIscDate(value.date);
      std::string out = platform::FormatShortDate(day, fs);
      const platform::CivilTime t = platform::DecodeTime(convert::FromIscTime(value.time));
      if (value.kind == Kind::kTimestamp && (t.hour | t.minute | t.second) != 0) {
        out += " " + TwoDigits(t.hour) + fs.time_separator + TwoDigits(t.minute) +
               fs.time_separator + TwoDigits(t.second);
      }
      return out;
    }
    default:
      return {};
  }
}

}  // namespace quilvane::db
