#include "db/param_binding.h"

#include "db/convert.h"
#include "db/error.h"

namespace quilvane::db {
namespace {

constexpr short kCharsetIso8859_1 = 21;

}  // namespace

ParamBinding::ParamBinding(XSQLDA& in, std::span<const Param> params)
    : numbers_(params.size()), stamps_(params.size()), nulls_(params.size()) {
  if (static_cast<std::size_t>(in.sqld) != params.size()) {
    throw DbError("The statement takes " + std::to_string(in.sqld) + " parameters, " +
                  std::to_string(params.size()) + " given");
  }
  // Reserved whole: the variables point into these strings.
  texts_.reserve(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    XSQLVAR& var = in.sqlvar[i];
    var.sqlscale = 0;
    var.sqlsubtype = 0;
    var.sqlind = &nulls_[i];
    nulls_[i] = 0;
    const Param& p = params[i];
    if (std::holds_alternative<std::monostate>(p)) {
      nulls_[i] = -1;
      var.sqltype = SQL_TEXT | 1;
      var.sqllen = 0;
      texts_.emplace_back();
      var.sqldata = texts_.back().data();
    } else if (auto* text = std::get_if<std::string>(&p)) {
      bool lossless = true;
      texts_.push_back(convert::Utf8ToDbText(*text, &lossless));
      if (!lossless || texts_.back().size() > 32767) {
        throw DbError("Parameter " + std::to_string(i + 1) + " cannot be sent in ISO8859_1");
      }
      var.sqltype = SQL_TEXT | 1;
      var.sqlsubtype = kCharsetIso8859_1;
      var.sqllen = static_cast<short>(texts_.back().size());
      var.sqldata = texts_.back().data();
    } else if (auto* integer = std::get_if<std::int64_t>(&p)) {
      numbers_[i] = *integer;
      var.sqltype = SQL_INT64 | 1;
      var.sqllen = 8;
      var.sqldata = reinterpret_cast<char*>(&numbers_[i]);
    } else if (auto* currency = std::get_if<Currency>(&p)) {
      numbers_[i] = currency->ten_thousandths;
      var.sqltype = SQL_INT64 | 1;
      var.sqlscale = -4;
      var.sqllen = 8;
      var.sqldata = reinterpret_cast<char*>(&numbers_[i]);
    } else {
      const auto stamp = convert::ToIscTimestamp(std::get<platform::DateTime>(p));
      if (!stamp) throw DbError("Parameter " + std::to_string(i + 1) + " is not a valid date");
      stamps_[i].timestamp_date = stamp->date;
      stamps_[i].timestamp_time = stamp->time;
      var.sqltype = SQL_TIMESTAMP | 1;
      var.sqllen = sizeof(ISC_TIMESTAMP);
      var.sqldata = reinterpret_cast<char*>(&stamps_[i]);
    }
  }
}

}  // namespace quilvane::db
