// Guards the copy the import checks and runs: it holds the source's bytes,
// only its owner may touch it, a later change of the source does not reach
// it, every copy has a name of its own, and nothing is left behind.
#include "platform/private_copy.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/error_kinds.h"
#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

TEST(PrivateCopyTest, OwnerOnlyCopyOfTheBytesThatOutlivesNoChange) {
  testing::TempDir dir;
  std::string bytes = "17/10/2023\r\n";
  for (int i = 0; i < 200000; ++i) bytes += "UPDATE PRODUTOS SET PRECOVENDA = 1.00\r\n";
  dir.Write("12345678000190.SQL", bytes);
  const mode_t old_umask = ::umask(0);  // the copy's mode must not depend on it
  std::string copy_path;
  {
    const PrivateCopy copy(dir.File("12345678000190.SQL"), dir.path());
    const PrivateCopy other(dir.File("12345678000190.SQL"), dir.path());
    copy_path = copy.path();
    EXPECT_NE(copy.path(), other.path());
    const std::string name = std::filesystem::path(copy.path()).filename().string();
    ASSERT_EQ(std::string("12345678000190.SQL.0123456789abcdef.tmp").size(), name.size()) << name;
    EXPECT_EQ(0u, name.rfind("12345678000190.SQL.", 0)) << name;
    EXPECT_EQ(dir.path(), copy.path().substr(0, dir.path().size()));

    struct stat st {};
    ASSERT_EQ(0, ::lstat(copy.path().c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(bytes, ReadFileToString(copy.path()));

    // The source replaced at its path: the copy keeps what was taken.
    WriteFileAtomically(dir.File("12345678000190.SQL"), "forged\r\n");
    EXPECT_EQ(bytes, ReadFileToString(copy.path()));
  }
  ::umask(old_umask);
  EXPECT_FALSE(FileExists(copy_path));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                             std::filesystem::directory_iterator()));
}

TEST(PrivateCopyTest, AMissingSourceOrFolderFailsAndLeavesNothing) {
  testing::TempDir dir;
  try {
    PrivateCopy copy(dir.File("12345678000190.SQL"), dir.path());
    ADD_FAILURE() << "no error";
  } catch (const SystemError& e) {
    EXPECT_TRUE(IsNotFound(e)) << e.what();
  }
  dir.Write("12345678000190.SQL", "x");
  EXPECT_THROW(PrivateCopy(dir.File("12345678000190.SQL"), dir.File("missing/")), SystemError);
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                             std::filesystem::directory_iterator()));
}

TEST(PrivateCopyTest, LeftoversOfAKilledImportGoAndNothingElse) {
  testing::TempDir dir;
  const char* const kLeftovers[] = {"12345678000190.SQL.0123456789abcdef.tmp",
                                    "12345678000190.SQL.fedcba9876543210.tmp"};
  const char* const kKept[] = {
      "12345678000190.SQL",
      "12345678000190.SQL.0123456789ABCDEF.tmp",  // not a name this program makes
      "12345678000190.SQL.0123456789abcde.tmp",
      "12345678000190.SQL.0123456789abcdefa.tmp",
      "12345678000190.SQL.0123456789abcdeg.tmp",
      "12345678000191.SQL.0123456789abcdef.tmp",  // another file's
      "12345678000190.SQL.0123456789abcdef.tmp.ini",
      "Quilvane.ini",
  };
  for (const char* name : kLeftovers) dir.Write(name, "x");
  for (const char* name : kKept) dir.Write(name, "x");
  RemoveLeftoverPrivateCopies(dir.path(), "12345678000190.SQL");
  for (const char* name : kLeftovers) EXPECT_FALSE(FileExists(dir.File(name))) << name;
  for (const char* name : kKept) EXPECT_TRUE(FileExists(dir.File(name))) << name;
  RemoveLeftoverPrivateCopies(dir.File("missing/"), "12345678000190.SQL");  // no throw
}

}  // namespace
}  // namespace quilvane::platform
