#include "exchange/change_store.h"

#include <algorithm>
#include <limits>

#include "platform/error.h"

namespace quilvane::exchange {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

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
  const std::size_t size = code.size() + before.size() + after.size();
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < size) {
    if (chunks_.size() >= std::numeric_limits<std::uint32_t>::max()) {
      throw platform::Error("Too many changes to list");
    }
    chunks_.emplace_back().reserve(std::max(kChunkBytes, size));
  }
  std::string& chunk = chunks_.back();
  const Entry entry{.chunk = static_cast<std::uint32_t>(chunks_.size() - 1),
                    .offset = LengthOf(chunk),
                    .code = LengthOf(code),
                    .before = LengthOf(before),
                    .after = LengthOf(after),
                    .column = static_cast<std::uint8_t>(known - columns_.begin())};
  chunk.append(code).append(before).append(after);
  entries_.push_back(entry);
  text_size_ += size;
}

ChangeText ChangeStore::Text(std::size_t i) const {
  const Entry& e = entries_[i];
  const std::string_view text = std::string_view(chunks_[e.chunk]).substr(e.offset);
  return {text.substr(0, e.code), columns_[e.column], text.substr(e.code, e.before),
          text.substr(e.code + e.before, e.after)};
}

Change ChangeStore::operator[](std::size_t i) const {
  const ChangeText t = Text(i);
  return {std::string(t.code), t.column, std::string(t.before), std::string(t.after)};
}

}  // namespace quilvane::exchange
