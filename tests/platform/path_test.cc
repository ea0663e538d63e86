// Guards the one rule that splits a path into its folder and its file name,
// and the folder ready for a name: every caller (the exchange file's private
// copy and its leftovers, the archive's base folder, the upload's remote
// name) must cut a path at the same place, or one of them names another file.
#include "platform/path.h"

#include <gtest/gtest.h>

namespace quilvane::platform {
namespace {

TEST(PathTest, SplitsAtTheLastSlashBackslashOrDrive) {
  struct Case {
    const char* path;
    const char* folder;
    const char* name;
    const char* folder_without_separator;
  };
  constexpr Case kCases[] = {
      {"/opt/quilvane/12345678000199.SQL", "/opt/quilvane/", "12345678000199.SQL", "/opt/quilvane"},
      {"C:\\Quilvane\\12345678000199.ZIP", "C:\\Quilvane\\", "12345678000199.ZIP", "C:\\Quilvane"},
      {"C:\\Quilvane/mixed.SQL", "C:\\Quilvane/", "mixed.SQL", "C:\\Quilvane"},
      {"12345678000199.SQL", "", "12345678000199.SQL", ""},
      {"/root.SQL", "/", "root.SQL", "/"},
      {"C:\\root.SQL", "C:\\", "root.SQL", "C:\\"},
      {"C:drive.SQL", "C:", "drive.SQL", "C:"},
      {"/opt/quilvane/", "/opt/quilvane/", "", "/opt/quilvane"},
      {"", "", "", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.folder, FolderOf(c.path));
    EXPECT_EQ(c.name, FileNameOf(c.path));
    EXPECT_EQ(c.folder_without_separator, FolderWithoutSeparator(c.path));
    EXPECT_EQ(c.path, FolderOf(c.path) + FileNameOf(c.path));
  }
}

TEST(PathTest, AFolderEndingInEitherSlashTakesNoOtherSeparator) {
  const std::string host(1, PathSeparator());
  struct Case {
    const char* dir;
    std::string ready;
  };
  const Case kCases[] = {
      {"", ""},
      {"/opt/quilvane/", "/opt/quilvane/"},
      {"C:\\Quilvane\\", "C:\\Quilvane\\"},
      {"/opt/quilvane", "/opt/quilvane" + host},
      {"C:\\Quilvane", "C:\\Quilvane" + host},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(c.ready, WithTrailingSeparator(c.dir));
    // What the folder split takes apart, the trailing rule puts back alike.
    EXPECT_EQ(WithTrailingSeparator(c.dir), FolderOf(WithTrailingSeparator(c.dir) + "a.SQL"));
  }
}

}  // namespace
}  // namespace quilvane::platform
