#pragma once

// The rows of an open query, held in memory. Internal to the database layer;
// knows nothing of the client library beyond the column kinds.

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "db/column.h"

namespace quilvane::db {

// A whole result is held at once (the export reads every product before it
// writes a line), so each row is stored compactly: a bitmap of its NULL
// columns, then the values of the others in column order (a text as its
// length and its bytes, any other kind in its wire width). Rows lie back to
// back in large blocks: no row is split, no row is allocated on its own and
// nothing is copied as the result grows. The cursor walks the blocks in order
// and decodes the row it stands on once.
//
// A CHAR value is kept without its trailing blanks (nothing reads them); a
// VARCHAR by its length word, kept within the column's length.
class RowStore {
 public:
  static constexpr std::size_t kBlockSize = 256 * 1024;

  // `columns` describes the fetched rows; it must outlive the store and may
  // change only while the store is empty.
  explicit RowStore(const std::vector<Column>& columns) : columns_(columns) {}
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  // Frees every block; the cursor goes to the first row.
  void Clear();
  // Drops every row but keeps the first block for the next ones: memory
  // already touched, where a fresh block would fault in its pages again.
  void Recycle();

  // Appends the row of a fetch buffer laid out as the columns describe (a
  // negative null indicator marks NULL).
  void Append(const char* fetched);

  // The cursor: the first row, or the row after the current one (which must
  // exist).
  void Rewind();
  void Advance();

  // Value `index` of the row at the cursor, which must exist: its bytes as
  // stored, nullopt for NULL. Valid until the cursor moves or the store is
  // cleared.
  const std::optional<std::string_view>& Value(int index);

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
  };

  std::size_t BitmapBytes() const;
  char* Reserve(std::size_t size);
  void Decode();

  const std::vector<Column>& columns_;
  std::vector<Block> blocks_;
  std::size_t block_ = 0;
  std::size_t offset_ = 0;
  bool decoded_ = false;
  std::size_t row_size_ = 0;
  std::vector<std::optional<std::string_view>> values_;
};

}  // namespace quilvane::db
