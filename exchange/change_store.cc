#include "exchange/change_store.h"

#include <algorithm>
#include <limits>

#include "platform/error.h"

namespace quilvane::exchange {
namespace {

std::uint32_t LengthOf(std::string_view text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw platform::Error("A changed value is too long to list");
  }
  return static_cast<std::uint32_t>(text.size());
}

}  // namespace

void ChangeStore::Add(std::string_view code, std::string_view column, std::string_view before,
                      std::string_view after) {
  // By address: the names are those of kStatementParts.
  auto known = std::find_if(columns_.begin(), columns_.end(), [column](std::string_view c) {
    return c.data() == column.data() && c.size() == column.size();
  });
  if (known == columns_.end()) {
    if (columns_.size() > std::numeric_limits<std::uint8_t>::max()) {
      throw platform::Error("Too many changed columns to list");
    }
    columns_.push_back(column);
    known = columns_.end() - 1;
  }
  const Entry entry{.place = text_.Append({code, before, after}),
                    .code = LengthOf(code),
                    .before = LengthOf(before),
                    .after = LengthOf(after),
                    .column = static_cast<std::uint8_t>(known - columns_.begin())};
  entries_.push_back(entry);
}

ChangeText ChangeStore::Text(std::size_t i) const {
  const Entry& e = entries_[i];
  const std::string_view text = text_.At(e.place, std::size_t{e.code} + e.before + e.after);
  return {text.substr(0, e.code), columns_[e.column], text.substr(e.code, e.before),
          text.substr(e.code + e.before, e.after)};
}

Change ChangeStore::operator[](std::size_t i) const {
  const ChangeText t = Text(i);
  return {std::string(t.code), t.column, std::string(t.before), std::string(t.after)};
}

}  // namespace quilvane::exchange
