#include "db/row_store.h"

#include <algorithm>
#include <cstring>

#include "db/convert.h"

namespace quilvane::db {
namespace {

// The text a fetched CHAR or VARCHAR holds: CHAR without its trailing
// blanks, VARCHAR by its length word, which comes from the server and is kept
// within the column.
std::string_view FetchedText(const Column& c, const char* data) {
  if (c.type == SQL_TEXT) return convert::TrimTrailingBlanks({data, std::size_t(c.length)});
  return {data + 2, std::size_t(std::clamp<short>(Load<short>(data), 0, c.length))};
}

// Text lengths (at most 32767) take one byte below 128, two above.
std::size_t LengthBytes(std::size_t n) { return n < 0x80 ? 1 : 2; }

bool IsNullIn(const Column& c, const char* fetched) {
  return Load<short>(fetched + c.null_offset) < 0;
}

}  // namespace

void RowStore::Clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  Rewind();
}

void RowStore::Recycle() {
  if (blocks_.size() > 1) blocks_.resize(1);
  if (!blocks_.empty()) blocks_.front().used = 0;
  Rewind();
}

void RowStore::Append(const char* fetched) {
  const std::size_t bitmap = BitmapBytes();
  std::size_t size = bitmap;
  for (const Column& c : columns_) {
    if (IsNullIn(c, fetched)) continue;
    if (IsTextType(c.type)) {
      const std::size_t n = FetchedText(c, fetched + c.data_offset).size();
      size += LengthBytes(n) + n;
    } else {
      size += FixedWidth(c);
    }
  }
  char* out = Reserve(size);
  std::memset(out, 0, bitmap);
  char* p = out + bitmap;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    const char* data = fetched + c.data_offset;
    if (IsNullIn(c, fetched)) {
      out[i / 8] = static_cast<char>(out[i / 8] | (1 << (i % 8)));
    } else if (IsTextType(c.type)) {
      const std::string_view text = FetchedText(c, data);
      const std::size_t n = text.size();
      if (n < 0x80) {
        *p++ = static_cast<char>(n);
      } else {
        *p++ = static_cast<char>(0x80 | (n & 0x7f));
        *p++ = static_cast<char>(n >> 7);
      }
      std::memcpy(p, text.data(), n);
      p += n;
    } else {
      std::memcpy(p, data, FixedWidth(c));
      p += FixedWidth(c);
    }
  }
}

void RowStore::Rewind() {
  block_ = 0;
  offset_ = 0;
  decoded_ = false;
}

void RowStore::Advance() {
  Decode();
  offset_ += row_size_;
  decoded_ = false;
}

const std::optional<std::string_view>& RowStore::Value(int index) {
  Decode();
  return values_[static_cast<std::size_t>(index)];
}

// At least one byte, so that every row takes room and the cursor moves.
std::size_t RowStore::BitmapBytes() const {
  return std::max<std::size_t>((columns_.size() + 7) / 8, 1);
}

// Room for `size` bytes at the end of the last block, or of a new one.
char* RowStore::Reserve(std::size_t size) {
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < size) {
    Block b;
    b.capacity = std::max(kBlockSize, size);
    // Uninitialized: pages not yet written take no memory.
    b.data = std::make_unique_for_overwrite<char[]>(b.capacity);
    blocks_.push_back(std::move(b));
  }
  Block& b = blocks_.back();
  char* out = b.data.get() + b.used;
  b.used += size;
  return out;
}

void RowStore::Decode() {
  if (decoded_) return;
  // Rows appended after the cursor reached the end of a block start the
  // next one.
  while (offset_ >= blocks_[block_].used) {
    ++block_;
    offset_ = 0;
  }
  const char* row = blocks_[block_].data.get() + offset_;
  const char* p = row + BitmapBytes();
  values_.resize(columns_.size());
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Column& c = columns_[i];
    if ((static_cast<unsigned char>(row[i / 8]) >> (i % 8)) & 1) {
      values_[i].reset();
    } else if (IsTextType(c.type)) {
      std::size_t n = static_cast<unsigned char>(*p++);
      if (n & 0x80) n = (n & 0x7f) | std::size_t(static_cast<unsigned char>(*p++)) << 7;
      values_[i] = std::string_view(p, n);
      p += n;
    } else {
      values_[i] = std::string_view(p, FixedWidth(c));
      p += FixedWidth(c);
    }
  }
  row_size_ = static_cast<std::size_t>(p - row);
  decoded_ = true;
}

}  // namespace quilvane::db
