// Guards the test -CHECK relies on before it tells an operator that the
// settings holding the FTP password are safe: the file's own bits are not
// enough when a folder above it bars the way, and a link's bits never count.
#include "platform/private_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

TEST(ReadableByEveryLocalUserTest, FileAndFolderModes) {
  struct Case {
    const char* name;
    mode_t file;
    mode_t folder;
    bool readable;
  };
  constexpr Case kCases[] = {
      {"world_readable", 0644, 0755, true},
      {"owner_only", 0600, 0755, false},
      {"group_only", 0640, 0755, false},
      {"folder_closed_to_others", 0644, 0750, false},
      {"folder_passable_not_listable", 0604, 0711, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));  // made private
    const std::string folder = dir.path() + "site";
    std::filesystem::create_directory(folder);
    const std::string ini = folder + "/Quilvane.ini";
    WriteFileAtomically(ini, "[Quilvane]\r\nSenhaFTP=x\r\n");
    ASSERT_EQ(0, ::chmod(ini.c_str(), c.file));
    ASSERT_EQ(0, ::chmod(folder.c_str(), c.folder));
    EXPECT_EQ(c.readable, ReadableByEveryLocalUser(ini));
    ::chmod(folder.c_str(), 0755);
  }
}

TEST(ReadableByEveryLocalUserTest, ALinkIsJudgedByItsTarget) {
  testing::TempDir dir;
  const std::string target = dir.path() + "Quilvane.ini";
  WriteFileAtomically(target, "SenhaFTP=x\r\n");
  ASSERT_EQ(0, ::chmod(target.c_str(), 0600));
  std::filesystem::create_symlink(target, dir.path() + "link.ini");
  EXPECT_FALSE(ReadableByEveryLocalUser(dir.path() + "link.ini"));
  EXPECT_THROW(ReadableByEveryLocalUser(dir.path() + "missing.ini"), SystemError);
}

}  // namespace
}  // namespace quilvane::platform
