#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "db/stored_value.h"
#include "exchange/statement.h"

namespace quilvane::exchange {

// What the import knows of a PRODUTOS column from the database's metadata.
struct ColumnType {
  enum class Kind { kExactNumber, kFloat, kText, kOther };
  Kind kind = Kind::kOther;
  int field_type = 0;  // RDB$FIELD_TYPE
  int scale = 0;       // exact numerics: 0 or negative
  int length = 0;      // CHAR and VARCHAR: characters
};

// RDB$FIELD_TYPE values the import tells apart.
inline constexpr int kFieldSmallint = 7;
inline constexpr int kFieldInteger = 8;
inline constexpr int kFieldFloat = 10;
inline constexpr int kFieldDate = 12;
inline constexpr int kFieldChar = 14;
inline constexpr int kFieldBigint = 16;
inline constexpr int kFieldDouble = 27;
inline constexpr int kFieldTimestamp = 35;
inline constexpr int kFieldVarchar = 37;

ColumnType ColumnTypeOf(int field_type, int scale, int length);

// Text without its trailing blanks, as CHAR comparison and padding ignore
// them.
std::string_view WithoutTrailingBlanks(std::string_view text);

// The literal's text between its apostrophes, apostrophes undoubled.
std::string Unquote(std::string_view doubled);

// The value `literal` takes in a column of `type`, as the server would store
// it, when that is certain without asking the server: NULL, an exact number
// that needs no rounding at the column's scale and fits its storage, text
// that fits (the literal's bytes, as the connection sends them), a date as
// the export writes it ('M/D/YYYY'). nullopt for anything else (a rounding,
// a floating column, text read as a number or a date...): only the server
// can tell.
std::optional<db::StoredValue> ConvertLiteral(const Literal& literal, const ColumnType& type);

// Whether a column that holds `stored` (as fetched) already holds
// `converted` (from ConvertLiteral) byte for byte: NULL only equals NULL,
// numbers by value at the column's scale, CHAR up to its padding, VARCHAR by
// every byte (a trailing blank counts).
bool Holds(const db::StoredValue& stored, const db::StoredValue& converted);

}  // namespace quilvane::exchange
