#include "db/column.h"

namespace quilvane::db {

std::size_t FixedWidth(const Column& c) {
  switch (c.type) {
    case SQL_SHORT:
      return 2;
    case SQL_LONG:
    case SQL_FLOAT:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return 4;
    case SQL_INT64:
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
    case SQL_TIMESTAMP:
      return 8;
    case SQL_BOOLEAN:
      return 1;
    default:
      return std::size_t(c.length);
  }
}

std::int64_t LoadInteger(const Column& c, const char* data) {
  if (c.type == SQL_SHORT) return Load<std::int16_t>(data);
  if (c.type == SQL_LONG) return Load<std::int32_t>(data);
  return Load<std::int64_t>(data);
}

double LoadFloat(const Column& c, const char* data) {
  return c.type == SQL_FLOAT ? Load<float>(data) : Load<double>(data);
}

}  // namespace quilvane::db
