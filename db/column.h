#pragma once

// A result column as the client describes it, and the reading of its values
// from the bytes the client fetched. Internal to the database layer.

#include <ibase.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace quilvane::db {

// One result column and where its value lies in the fetch buffer.
struct Column {
  std::string name;
  short type = 0;  // sqltype without the nullable bit
  short scale = 0;
  short length = 0;
  std::size_t data_offset = 0;
  std::size_t null_offset = 0;
};

inline bool IsTextType(short type) { return type == SQL_TEXT || type == SQL_VARYING; }
inline bool IsIntegerType(short type) {
  return type == SQL_SHORT || type == SQL_LONG || type == SQL_INT64;
}
inline bool IsFloatType(short type) {
  return type == SQL_FLOAT || type == SQL_DOUBLE || type == SQL_D_FLOAT;
}
inline bool IsDateType(short type) {
  return type == SQL_TYPE_DATE || type == SQL_TIMESTAMP || type == SQL_TYPE_TIME;
}

// A value of type T at `p`, which need not be aligned.
template <typename T>
T Load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Bytes a value of a fixed-width kind takes; for kinds no conversion reads,
// the width the server gave.
std::size_t FixedWidth(const Column& c);

// An integer column's stored value (SQL_SHORT, SQL_LONG or SQL_INT64), before
// its scale.
std::int64_t LoadInteger(const Column& c, const char* data);
// A floating-point column's value (SQL_FLOAT, SQL_DOUBLE, SQL_D_FLOAT).
double LoadFloat(const Column& c, const char* data);

}  // namespace quilvane::db
