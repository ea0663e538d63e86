// Guards the pure name rules: stored names, masks, and the paths that must
// never leave the destination folder.
#include "archive/name_rules.h"

#include <gtest/gtest.h>

namespace quilvane::archive {
namespace {

TEST(NameRulesTest, StoredNameIsRelativeToTheBaseFolder) {
  struct Case {
    const char* path;
    const char* base;
    const char* stored;
  };
  constexpr Case kCases[] = {
      {"/opt/q/12345678000199.SQL", "/opt/q", "12345678000199.SQL"},
      {"/opt/q/sub/a.txt", "/opt/q/", "sub/a.txt"},
      {"/elsewhere/a.txt", "/opt/q", "elsewhere/a.txt"},
      {"C:\\Q\\A.SQL", "C:\\Q", "A.SQL"},
      {"D:\\other\\A.SQL", "C:\\Q", "other/A.SQL"},
      {"\\\\server\\share\\A.SQL", "C:\\Q", "share/A.SQL"},
      {"/opt/q/dir/", "/opt/q", "dir"},
  };
  for (const Case& c : kCases) EXPECT_EQ(c.stored, StoredNameFor(c.path, c.base)) << c.path;
}

TEST(NameRulesTest, MasksMatchIgnoringAsciiCase) {
  EXPECT_TRUE(MatchesMask("12345678000199.SQL", "*"));
  EXPECT_TRUE(MatchesMask("12345678000199.SQL", "*.sql"));
  EXPECT_TRUE(MatchesMask("a.b", "?.B"));
  EXPECT_FALSE(MatchesMask("a.bc", "?.b"));
  EXPECT_FALSE(MatchesMask("abc", "*d*"));
  EXPECT_TRUE(MatchesMask(std::string(5000, 'a'), std::string(50, '*') + "b*") == false);
}

TEST(NameRulesTest, SafeRelativePath) {
  EXPECT_EQ("a/b.txt", SafeRelativePath("a/b.txt"));
  EXPECT_EQ("a/b.txt", SafeRelativePath("a\\b.txt"));
  EXPECT_EQ("a/b/", SafeRelativePath("a/b/"));
  EXPECT_EQ("a/b", SafeRelativePath("./a//b"));
  for (const char* bad : {"", "/", "../x", "a/../../x", "a/..", "/etc/passwd", "C:x", "C:\\x",
                          "\\\\srv\\x", "\\x", "a:stream", ".."}) {
    EXPECT_FALSE(SafeRelativePath(bad).has_value()) << bad;
  }
  EXPECT_FALSE(SafeRelativePath(std::string("a\0b", 3)).has_value());
}

TEST(NameRulesTest, DecodesOemUtf8AndFlaggedNames) {
  EXPECT_EQ("pre\xc3\xa7o", DecodeName("pre\x87o", false));  // CP850 c-cedilla
  EXPECT_EQ("\xe4\xb8\x96\xe7\x95\x8c", DecodeName("\xe4\xb8\x96\xe7\x95\x8c", false));
  EXPECT_EQ("\xe4\xb8\x96\xe7\x95\x8c", DecodeName("\xe4\xb8\x96\xe7\x95\x8c", true));
  EXPECT_EQ("plain", DecodeName("plain", true));
}

TEST(NameRulesTest, LongUtf8NamesAreCutOnACharacterBoundary) {
  std::string name;
  for (int i = 0; i < 200; ++i) name += "\xce\xa9";
  const EncodedName e = EncodeName(name);
  EXPECT_TRUE(e.utf8);
  EXPECT_EQ(254u, e.bytes.size());
}

}  // namespace
}  // namespace quilvane::archive
