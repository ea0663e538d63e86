#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/chunked_text.h"

namespace quilvane::exchange {

// One column of a product that an import changed, its values as the
// database reads them (numbers with the regional decimal separator, dates in
// the regional short format, texts as UTF-8; NULL as empty text).
struct Change {
  std::string code;         // the statement's CODIGO, UTF-8
  std::string_view column;  // a name of kStatementParts
  std::string before;
  std::string after;
};

// Changes kept compactly, the texts of each back to back in a ChunkedText:
// an import that changes every product holds hundreds of thousands of them,
// and as a growing vector of Change objects they would take three times the
// memory and copy it again at every growth.
// A change's texts where its store keeps them.
struct ChangeText {
  std::string_view code, column, before, after;
};

class ChangeStore {
 public:
  // `column` must outlive the store (a name of kStatementParts).
  void Add(std::string_view code, std::string_view column, std::string_view before,
           std::string_view after);
  std::size_t size() const { return entries_.size(); }
  Change operator[](std::size_t i) const;
  ChangeText Text(std::size_t i) const;
  // The bytes of the texts of all the changes: a size to reserve for them.
  std::size_t text_size() const { return text_.size(); }

 private:
  struct Entry {
    ChunkedText::Place place;           // where the code starts
    std::uint32_t code, before, after;  // lengths: the texts follow each other
    std::uint8_t column;                // in columns_
  };
  ChunkedText text_;
  std::deque<Entry> entries_;
  std::vector<std::string_view> columns_;
};

// A run of a ChangeStore's changes, read as Change values; valid while the
// store lives and keeps them.
class ChangeRange {
 public:
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Change;
    using difference_type = std::ptrdiff_t;
    using reference = Change;
    using pointer = void;

    Iterator() = default;
    Iterator(const ChangeStore* store, std::size_t i) : store_(store), i_(i) {}
    Change operator*() const { return (*store_)[i_]; }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++i_;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.i_ == b.i_; }

   private:
    const ChangeStore* store_ = nullptr;
    std::size_t i_ = 0;
  };

  ChangeRange(const ChangeStore& store, std::size_t first, std::size_t last)
      : store_(&store), first_(first), last_(last) {}
  std::size_t size() const { return last_ - first_; }
  bool empty() const { return first_ == last_; }
  Change operator[](std::size_t i) const { return (*store_)[first_ + i]; }
  ChangeText Text(std::size_t i) const { return store_->Text(first_ + i); }
  // At least the bytes of the range's texts.
  std::size_t text_size() const { return store_->text_size(); }
  Iterator begin() const { return {store_, first_}; }
  Iterator end() const { return {store_, last_}; }

 private:
  const ChangeStore* store_;
  std::size_t first_, last_;
};

}  // namespace quilvane::exchange
