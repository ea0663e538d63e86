#pragma once

// The values of one execution bound to a statement's input descriptor.
// Internal to the database layer.

#include <span>
#include <string>
#include <vector>

#include "db/fbclient.h"
#include "db/query.h"

namespace quilvane::db {

// Points each input variable of `in` at its value of `params`, in order: NULL
// and text as ISO8859_1 CHAR, integers and currencies as INT64 (a currency
// with scale -4), date-times as TIMESTAMP. The values live in this object:
// `in` is valid for one execution while it exists.
//
// Throws DbError: "The statement takes <n> parameters, <m> given";
// "Parameter <i> cannot be sent in ISO8859_1" (a character the ERP's text
// cannot hold, or longer than 32767 bytes); "Parameter <i> is not a valid
// date" (outside the years 1 to 9999).
class ParamBinding {
 public:
  ParamBinding(XSQLDA& in, std::span<const Param> params);
  ParamBinding(const ParamBinding&) = delete;
  ParamBinding& operator=(const ParamBinding&) = delete;

 private:
  std::vector<std::string> texts_;
  std::vector<std::int64_t> numbers_;
  std::vector<ISC_TIMESTAMP> stamps_;
  std::vector<short> nulls_;
};

}  // namespace quilvane::db
