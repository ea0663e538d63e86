// The row store holds every row of a result in memory, packed; these cases
// guard its layout without a server: values come back as fetched, texts of
// either length form, a length word the server got wrong, and rows appended
// after the cursor reached the end of a block.
#include "db/row_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quilvane::db {
namespace {

// A fetch buffer laid out as Query lays it out: each value, then its null
// indicator, each aligned to 8 bytes.
class FetchRow {
 public:
  void Add(short type, short length) {
    Column c;
    c.name = "C" + std::to_string(columns_.size());
    c.type = type;
    c.length = length;
    c.data_offset = size_;
    size_ = Align(size_ + (type == SQL_VARYING ? length + 2 : length));
    c.null_offset = size_;
    size_ = Align(size_ + sizeof(short));
    columns_.push_back(c);
    buffer_.assign(size_, 0);
  }

  void SetNull(int i) { Indicator(i, -1); }
  // A VARCHAR's length word as given, then the bytes.
  void SetVarying(int i, std::string_view text, short length_word) {
    Indicator(i, 0);
    char* p = Data(i);
    std::memcpy(p, &length_word, 2);
    std::memcpy(p + 2, text.data(), text.size());
  }
  void SetVarying(int i, std::string_view text) {
    SetVarying(i, text, static_cast<short>(text.size()));
  }
  // A CHAR: the text padded with blanks to the column's length.
  void SetChar(int i, std::string_view text) {
    Indicator(i, 0);
    std::memset(Data(i), ' ', static_cast<std::size_t>(columns_[i].length));
    std::memcpy(Data(i), text.data(), text.size());
  }
  void SetInt64(int i, std::int64_t v) {
    Indicator(i, 0);
    std::memcpy(Data(i), &v, sizeof v);
  }

  const std::vector<Column>& columns() const { return columns_; }
  const char* data() const { return buffer_.data(); }

 private:
  static std::size_t Align(std::size_t n) { return (n + 7) / 8 * 8; }
  char* Data(int i) { return buffer_.data() + columns_[i].data_offset; }
  void Indicator(int i, short v) {
    std::memcpy(buffer_.data() + columns_[i].null_offset, &v, sizeof v);
  }

  std::vector<Column> columns_;
  std::vector<char> buffer_;
  std::size_t size_ = 0;
};

std::string Text(const std::optional<std::string_view>& v) {
  return v ? std::string(*v) : std::string("<null>");
}

std::string Int64Bytes(std::int64_t v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

TEST(RowStoreTest, ValuesComeBackAsFetched) {
  FetchRow row;
  row.Add(SQL_VARYING, 300);
  row.Add(SQL_TEXT, 10);
  row.Add(SQL_INT64, 8);
  RowStore store(row.columns());

  row.SetVarying(0, "A\x80\x93 ");  // a VARCHAR keeps its trailing blank
  row.SetChar(1, "7891 ");
  row.SetInt64(2, -1234567890123);
  store.Append(row.data());
  row.SetVarying(0, "");  // empty, not NULL
  row.SetNull(1);
  row.SetNull(2);
  store.Append(row.data());
  row.SetVarying(0, std::string(127, 'x'));  // the longest one-byte length
  row.SetChar(1, "");
  row.SetInt64(2, 0);
  store.Append(row.data());
  row.SetVarying(0, std::string(128, 'y'));  // the shortest two-byte length
  store.Append(row.data());
  row.SetVarying(0, std::string(300, 'z'));
  store.Append(row.data());

  store.Rewind();
  EXPECT_EQ(Text(store.Value(0)), "A\x80\x93 ");
  EXPECT_EQ(Text(store.Value(1)), "7891");
  EXPECT_EQ(Text(store.Value(2)), Int64Bytes(-1234567890123));
  store.Advance();
  EXPECT_EQ(Text(store.Value(0)), "");
  EXPECT_EQ(Text(store.Value(1)), "<null>");
  EXPECT_EQ(Text(store.Value(2)), "<null>");
  store.Advance();
  EXPECT_EQ(Text(store.Value(0)), std::string(127, 'x'));
  EXPECT_EQ(Text(store.Value(1)), "");
  EXPECT_EQ(Text(store.Value(2)), Int64Bytes(0));
  store.Advance();
  EXPECT_EQ(Text(store.Value(0)), std::string(128, 'y'));
  store.Advance();
  EXPECT_EQ(Text(store.Value(0)), std::string(300, 'z'));
  EXPECT_EQ(Text(store.Value(2)), Int64Bytes(0));

  store.Rewind();  // the first row again
  EXPECT_EQ(Text(store.Value(1)), "7891");
}

// The length word comes from the server: a value outside 0..length is kept
// within the column, never read past it.
TEST(RowStoreTest, LengthWordIsKeptWithinTheColumn) {
  FetchRow row;
  row.Add(SQL_VARYING, 4);
  RowStore store(row.columns());
  row.SetVarying(0, "abcd", 1000);
  store.Append(row.data());
  row.SetVarying(0, "abcd", -5);
  store.Append(row.data());
  store.Rewind();
  EXPECT_EQ(Text(store.Value(0)), "abcd");
  store.Advance();
  EXPECT_EQ(Text(store.Value(0)), "");
}

// Rows fetched while the cursor stands at the end of a full block go into the
// next block, and the cursor finds them there; Clear and Recycle start over.
TEST(RowStoreTest, RowsAppendedAtTheEndOfAFullBlockAreFound) {
  FetchRow row;
  row.Add(SQL_VARYING, 2000);
  RowStore store(row.columns());
  // Each row takes 1 (bitmap) + 2 (length) + 1021 bytes: 256 fill a block.
  constexpr int kPerBlock = static_cast<int>(RowStore::kBlockSize / 1024);
  auto text = [](int i) {
    return std::to_string(i) + std::string(1021 - std::to_string(i).size(), '.');
  };
  for (int i = 0; i < kPerBlock; ++i) {
    row.SetVarying(0, text(i));
    store.Append(row.data());
  }
  store.Rewind();
  for (int i = 0; i < kPerBlock; ++i) {
    ASSERT_EQ(Text(store.Value(0)), text(i));
    store.Advance();
  }
  for (int i = kPerBlock; i < 3 * kPerBlock + 7; ++i) {
    row.SetVarying(0, text(i));
    store.Append(row.data());
  }
  for (int i = kPerBlock; i < 3 * kPerBlock + 7; ++i) {
    ASSERT_EQ(Text(store.Value(0)), text(i));
    store.Advance();
  }

  store.Clear();
  row.SetVarying(0, "after");
  store.Append(row.data());
  EXPECT_EQ(Text(store.Value(0)), "after");

  // Recycle, from several blocks: the next rows from the first again.
  for (int i = 0; i < 2 * kPerBlock; ++i) {
    row.SetVarying(0, text(i));
    store.Append(row.data());
  }
  store.Recycle();
  for (int i = 0; i < kPerBlock + 3; ++i) {
    row.SetVarying(0, text(i + 5000));
    store.Append(row.data());
  }
  for (int i = 0; i < kPerBlock + 3; ++i) {
    ASSERT_EQ(Text(store.Value(0)), text(i + 5000));
    store.Advance();
  }
}

}  // namespace
}  // namespace quilvane::db
