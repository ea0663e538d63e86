#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/datetime.h"
#include "platform/regional.h"

namespace quilvane::db {

// A column's value as the server sent it, unconverted: for callers that must
// tell two values apart exactly as the server would, rather than read them.
struct StoredValue {
  enum class Kind {
    kNull,
    kExact,      // SMALLINT, INTEGER, BIGINT, NUMERIC, DECIMAL: integer * 10^scale
    kDouble,     // DOUBLE PRECISION
    kText,       // CHAR (without its trailing blanks) or VARCHAR: the bytes
    kDate,       // DATE: Firebird's day number
    kTimestamp,  // TIMESTAMP: day number and ten-thousandths of a second
    kOther,      // any other kind (FLOAT, TIME, BOOLEAN, BLOB...)
  };
  Kind kind = Kind::kNull;
  std::int64_t integer = 0;
  int scale = 0;
  double real = 0;
  std::string bytes;
  bool fixed_length = false;  // kText: CHAR
  std::int32_t date = 0;
  std::uint32_t time = 0;

  friend bool operator==(const StoredValue&, const StoredValue&) = default;
};

// The text Field::AsString gives for a column holding `value`: exact
// numerics in their shortest form with the regional decimal separator,
// doubles in the shortest form that reads back, text as UTF-8, dates in the
// regional short format (a timestamp's time when not midnight), NULL as "".
// kOther gives "".
std::string StoredValueText(const StoredValue& value, const platform::FormatSettings& fs);

// The Firebird day number (a DATE's stored value) of `day`'s date.
std::int32_t IscDayOf(platform::DateTime day);

}  // namespace quilvane::db
