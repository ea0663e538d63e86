#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace quilvane::db {

// An error of the database layer. what() is the operator's text: for an error
// the Firebird client reported, its interpreted status lines (CR LF between
// them) and, for an SQL code other than 0 and -999, the SQL code's text on a
// last line. status_code() is the first code of the status vector (0 for the
// layer's own errors, such as a client library that cannot be loaded).
class DbError : public platform::Error {
 public:
  explicit DbError(const std::string& message, std::int64_t status_code = 0,
                   std::int32_t sqlcode = 0)
      : platform::Error(message), status_code_(status_code), sqlcode_(sqlcode) {}

  std::int64_t status_code() const { return status_code_; }
  std::int32_t sqlcode() const { return sqlcode_; }
  // Whether the code is one of the lost-connection codes (network failure,
  // lost connection, database or attachment shut down).
  bool lost_connection() const;

 private:
  std::int64_t status_code_;
  std::int32_t sqlcode_;
};

// The lost-connection codes: 335544375, 335544528, 335544648,
// 335544721..335544727, 335544741, 335544856.
bool IsLostConnectionCode(std::int64_t status_code);

}  // namespace quilvane::db
