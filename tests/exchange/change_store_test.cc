// The compact store of an import's changes: every change reads back as it
// was added, across the store's buffers, and the list written from a store
// has the bytes of the list written from Change objects.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/change_store.h"
#include "exchange/changes_list.h"
#include "exchange/format.h"

namespace quilvane::exchange {
namespace {

bool operator==(const Change& a, const Change& b) {
  return a.code == b.code && a.column == b.column && a.before == b.before && a.after == b.after;
}

// Changes of every shape: empty texts, non-ASCII, the list's separators, and
// texts long enough to overflow a buffer and to need one of their own.
std::vector<Change> Sample() {
  std::vector<Change> changes;
  for (int i = 0; i < 60000; ++i) {
    const std::string_view column = kStatementParts[static_cast<std::size_t>(i) % 24].column;
    changes.push_back({"789" + std::to_string(i), column,
                       i % 7 == 0 ? "" : std::to_string(i) + ",5",
                       std::to_string(i % 1000) + ",25"});
  }
  changes[10].before = "a;b \"quoted\"\r\nline";
  changes[11].after = "ação €";
  changes[30000].after = std::string(3 << 20, 'x');  // larger than a buffer
  changes[30001].before = std::string(700000, 'y');
  return changes;
}

TEST(ChangeStoreTest, ReadsBackEveryChangeAcrossItsBuffers) {
  const std::vector<Change> changes = Sample();
  ChangeStore store;
  for (const Change& c : changes) store.Add(c.code, c.column, c.before, c.after);
  ASSERT_EQ(store.size(), changes.size());
  for (std::size_t i = 0; i < changes.size(); ++i) {
    ASSERT_TRUE(store[i] == changes[i]) << i;
    const ChangeText t = store.Text(i);
    ASSERT_EQ(t.before, changes[i].before) << i;
    // The column is the caller's own text, not a copy.
    ASSERT_EQ(t.column.data(), changes[i].column.data()) << i;
  }

  const ChangeRange middle(store, 29999, 30002);
  ASSERT_EQ(middle.size(), 3u);
  EXPECT_TRUE(middle[1] == changes[30000]);
  std::size_t n = 0;
  for (const Change& c : middle) EXPECT_TRUE(c == changes[29999 + n++]);
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(ChangeRange(store, 5, 5).empty());
}

TEST(ChangeStoreTest, ListBytesEqualThoseOfChangeObjects) {
  const std::vector<Change> changes = Sample();
  ChangeStore store;
  for (const Change& c : changes) store.Add(c.code, c.column, c.before, c.after);
  EXPECT_EQ(FormatChanges(ChangeRange(store, 0, store.size())), FormatChanges(changes));
  EXPECT_EQ(FormatChanges(ChangeRange(store, 10, 12)),
            FormatChanges(std::span(changes).subspan(10, 2)));
}

}  // namespace
}  // namespace quilvane::exchange
