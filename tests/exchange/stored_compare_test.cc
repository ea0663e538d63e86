// The client's side of SomenteAlterados: which literals it converts as the
// server would, and when a stored value already holds one. A wrong "holds"
// would skip a real price change, so every doubt must go to the server.

#include "exchange/stored_compare.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quilvane::exchange {
namespace {

using Kind = db::StoredValue::Kind;

db::StoredValue Exact(std::int64_t integer, int scale) {
  db::StoredValue v;
  v.kind = Kind::kExact;
  v.integer = integer;
  v.scale = scale;
  return v;
}

db::StoredValue Text(std::string bytes, bool fixed) {
  db::StoredValue v;
  v.kind = Kind::kText;
  v.bytes = std::move(bytes);
  v.fixed_length = fixed;
  return v;
}

db::StoredValue Day(Kind kind, std::int32_t date, std::uint32_t time = 0) {
  db::StoredValue v;
  v.kind = kind;
  v.date = date;
  v.time = time;
  return v;
}

Literal Number(std::string_view text) { return {Literal::Kind::kNumber, text}; }
Literal Quoted(std::string_view text) { return {Literal::Kind::kText, text}; }

TEST(StoredCompareTest, ConvertsOnlyWhatIsCertain) {
  const ColumnType numeric2 = ColumnTypeOf(kFieldBigint, -2, 0);
  const ColumnType numeric6 = ColumnTypeOf(kFieldBigint, -6, 0);
  const ColumnType smallint = ColumnTypeOf(kFieldSmallint, 0, 0);
  const ColumnType numeric4_2 = ColumnTypeOf(kFieldSmallint, -2, 0);
  const ColumnType dbl = ColumnTypeOf(kFieldDouble, 0, 0);
  const ColumnType varchar3 = ColumnTypeOf(kFieldVarchar, 0, 3);
  const ColumnType char3 = ColumnTypeOf(kFieldChar, 0, 3);
  const ColumnType date = ColumnTypeOf(kFieldDate, 0, 0);
  const ColumnType timestamp = ColumnTypeOf(kFieldTimestamp, 0, 0);
  const ColumnType time = ColumnTypeOf(13, 0, 0);
  struct Case {
    const char* what;
    Literal literal;
    ColumnType type;
    std::optional<db::StoredValue> converted;
  } const cases[] = {
      {"NULL into anything", {Literal::Kind::kNull, ""}, time, db::StoredValue{}},
      {"a number at the column's scale", Number("12.50"), numeric2, Exact(1250, -2)},
      {"negative, no decimals", Number("-3"), numeric2, Exact(-300, -2)},
      {"negative zero", Number("-0.00"), numeric2, Exact(0, -2)},
      {"a scale past four decimals", Number("1.2345"), numeric6, Exact(1234500, -6)},
      {"a decimal the server would round", Number("1.255"), numeric2, std::nullopt},
      {"past four decimals", Number("1.00005"), numeric6, std::nullopt},
      {"an integer column", Number("7.000"), smallint, Exact(7, 0)},
      {"a fraction into an integer", Number("7.5"), smallint, std::nullopt},
      {"past a SMALLINT", Number("32768"), smallint, std::nullopt},
      {"the largest SMALLINT", Number("-327.68"), numeric4_2, Exact(-32768, -2)},
      {"a floating column", Number("0.5"), dbl, std::nullopt},
      {"a number into text", Number("5"), varchar3, std::nullopt},
      {"text", Quoted("ab"), varchar3, Text("ab", false)},
      {"a doubled apostrophe", Quoted("a''b"), varchar3, Text("a'b", false)},
      {"a trailing blank counts in a VARCHAR", Quoted("a "), varchar3, Text("a ", false)},
      {"a CHAR without its padding", Quoted("a "), char3, Text("a", true)},
      {"text past the column", Quoted("abcd"), varchar3, std::nullopt},
      {"blanks past a CHAR", Quoted("abc "), char3, std::nullopt},
      {"text into a number", Quoted("12"), numeric2, std::nullopt},
      {"a date as exported", Quoted("10/31/2023"), date, Day(Kind::kDate, 60248)},
      {"the zero date", Quoted("12/30/1899"), date, Day(Kind::kDate, 15018)},
      {"a date into a timestamp", Quoted("1/2/2024"), timestamp, Day(Kind::kTimestamp, 60311)},
      {"not a day", Quoted("2/30/2024"), date, std::nullopt},
      {"another date format", Quoted("2024-01-02"), date, std::nullopt},
      {"a short year", Quoted("1/2/24"), date, std::nullopt},
      {"a year the server may read otherwise", Quoted("1/2/0024"), date, std::nullopt},
      {"a date with a time", Quoted("1/2/2024 10:00"), timestamp, std::nullopt},
      {"a TIME column", Quoted("10:00"), time, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConvertLiteral(c.literal, c.type), c.converted) << c.what;
  }
}

TEST(StoredCompareTest, HoldsOnlyTheSameStoredValue) {
  struct Case {
    const char* what;
    db::StoredValue stored, converted;
    bool holds;
  } const cases[] = {
      {"NULL and NULL", {}, {}, true},
      {"NULL and a value", {}, Exact(0, -2), false},
      {"a value and NULL", Exact(0, -2), {}, false},
      {"NULL and empty text", {}, Text("", false), false},
      {"the same number", Exact(150, -2), Exact(150, -2), true},
      {"another number", Exact(150, -2), Exact(151, -2), false},
      {"the same text", Text("N", false), Text("N", false), true},
      {"a trailing blank", Text("N", false), Text("N ", false), false},
      {"a letter's case", Text("n", false), Text("N", false), false},
      {"the same CHAR", Text("N", true), Text("N", true), true},
      {"the same day", Day(Kind::kDate, 60248), Day(Kind::kDate, 60248), true},
      {"another day", Day(Kind::kDate, 60248), Day(Kind::kDate, 60249), false},
      {"midnight", Day(Kind::kTimestamp, 60248), Day(Kind::kTimestamp, 60248), true},
      {"a time of day", Day(Kind::kTimestamp, 60248, 1), Day(Kind::kTimestamp, 60248), false},
      {"another kind", Day(Kind::kDate, 60248), Day(Kind::kTimestamp, 60248), false},
  };
  for (const Case& c : cases) EXPECT_EQ(Holds(c.stored, c.converted), c.holds) << c.what;
}

}  // namespace
}  // namespace quilvane::exchange
