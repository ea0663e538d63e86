// Guards what a rewrite of a settings file keeps: the operator's ownership and
// mode, the symbolic link an installation points at the real file, and other
// hard links. Owner cases need root (chown to another account).
#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/directory.h"
#include "platform/disk_space.h"
#include "platform/error.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

// Accounts that exist on no test machine; chown takes any number.
constexpr uid_t kOperator = 23456;
constexpr gid_t kOperatorGroup = 23457;
constexpr uid_t kService = 34567;

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st;
}

class WriteFileAtomicallyTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
};

TEST_F(WriteFileAtomicallyTest, KeepsModeAndCreatesWithDefault) {
  const std::string path = dir_.File("Quilvane.ini");
  WriteFileAtomically(path, "a");
  EXPECT_EQ(0644u, StatOf(path).st_mode & 07777);
  ASSERT_EQ(0, ::chmod(path.c_str(), 0660));
  WriteFileAtomically(path, "b");
  EXPECT_EQ(0660u, StatOf(path).st_mode & 07777);
  EXPECT_EQ("b", dir_.Read("Quilvane.ini"));
}

TEST_F(WriteFileAtomicallyTest, KeepsOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another account";
  const std::string path = dir_.File("Quilvane.ini");
  dir_.Write("Quilvane.ini", "[Quilvane]\r\n");
  ASSERT_EQ(0, ::chown(path.c_str(), kOperator, kOperatorGroup));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
  WriteFileAtomically(path, "[Quilvane]\r\nDataUltimaSincronizacao=17/10/2023\r\n");
  const struct stat st = StatOf(path);
  EXPECT_EQ(kOperator, st.st_uid);
  EXPECT_EQ(kOperatorGroup, st.st_gid);
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=17/10/2023\r\n", dir_.Read("Quilvane.ini"));
}

// A service account that may write the operator's file (group or world
// writable) but cannot give a new file away rewrites it in place.
TEST_F(WriteFileAtomicallyTest, AccountThatCannotChownRewritesInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch accounts";
  ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0777));
  const std::string path = dir_.File("Quilvane.ini");
  dir_.Write("Quilvane.ini", "old");
  ASSERT_EQ(0, ::chown(path.c_str(), kOperator, kOperatorGroup));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
  const ino_t inode = StatOf(path).st_ino;
  const pid_t child = ::fork();
  ASSERT_LE(0, child);
  if (child == 0) {
    int code = 1;
    if (::setgid(kService) == 0 && ::setuid(kService) == 0) {
      try {
        WriteFileAtomically(path, "new content");
        code = 0;
      } catch (...) {
        code = 2;
      }
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  const struct stat st = StatOf(path);
  EXPECT_EQ(kOperator, st.st_uid);
  EXPECT_EQ(kOperatorGroup, st.st_gid);
  EXPECT_EQ(0666u, st.st_mode & 07777);
  EXPECT_EQ(inode, st.st_ino);
  EXPECT_EQ("new content", dir_.Read("Quilvane.ini"));
  EXPECT_EQ(std::vector<std::string>{"Quilvane.ini"}, ListDirectory(dir_.path()));
}

TEST_F(WriteFileAtomicallyTest, WritesThroughSymbolicLinks) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link name -> target text
    std::string real;                                        // the file that must change
  };
  const std::string d = dir_.path();
  ::mkdir((d + "etc").c_str(), 0755);
  const Case cases[] = {
      {"absolute", {{"Quilvane.ini", d + "etc/real.ini"}}, "etc/real.ini"},
      {"relative", {{"Quilvane.ini", "etc/real.ini"}}, "etc/real.ini"},
      {"chain", {{"Quilvane.ini", "hop.ini"}, {"hop.ini", "etc/real.ini"}}, "etc/real.ini"},
      {"dangling", {{"Quilvane.ini", "etc/new.ini"}}, "etc/new.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [link, target] : c.links) {
      ::unlink((d + link).c_str());
      ASSERT_EQ(0, ::symlink(target.c_str(), (d + link).c_str()));
    }
    ::unlink((d + "etc/new.ini").c_str());
    dir_.Write("etc/real.ini", "old");
    ASSERT_EQ(0, ::chmod((d + "etc/real.ini").c_str(), 0600));
    WriteFileAtomically(d + "Quilvane.ini", "new");
    for (const auto& [link, target] : c.links) {
      struct stat st {};
      ASSERT_EQ(0, ::lstat((d + link).c_str(), &st));
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << link << " is no longer a link";
    }
    EXPECT_EQ("new", dir_.Read(c.real));
    if (c.real == "etc/real.ini") {
      EXPECT_EQ(0600u, StatOf(d + c.real).st_mode & 07777);
    }
    EXPECT_EQ("new", dir_.Read("Quilvane.ini"));
  }
}

TEST_F(WriteFileAtomicallyTest, LinkLoopFailsAndWritesNothing) {
  const std::string d = dir_.path();
  ASSERT_EQ(0, ::symlink("b", (d + "a").c_str()));
  ASSERT_EQ(0, ::symlink("a", (d + "b").c_str()));
  EXPECT_THROW(WriteFileAtomically(d + "a", "x"), SystemError);
  struct stat st {};
  ASSERT_EQ(0, ::lstat((d + "a").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(WriteFileAtomicallyTest, OtherHardLinksSeeTheNewContent) {
  const std::string path = dir_.File("Quilvane.ini");
  dir_.Write("Quilvane.ini", "old");
  ASSERT_EQ(0, ::link(path.c_str(), dir_.File("copy.ini").c_str()));
  WriteFileAtomically(path, "new, longer than before");
  EXPECT_EQ("new, longer than before", dir_.Read("copy.ini"));
  WriteFileAtomically(path, "n");
  EXPECT_EQ("n", dir_.Read("copy.ini"));
  EXPECT_EQ("n", dir_.Read("Quilvane.ini"));
}

TEST_F(WriteFileAtomicallyTest, ReadOnlyFileIsRefusedThroughALink) {
  dir_.Write("real.ini", "old");
  SetFileAttributes(dir_.File("real.ini"), kAttrReadOnly);
  ASSERT_EQ(0, ::symlink("real.ini", dir_.File("Quilvane.ini").c_str()));
  EXPECT_THROW(WriteFileAtomically(dir_.File("Quilvane.ini"), "new"), SystemError);
  EXPECT_EQ("old", dir_.Read("real.ini"));
}

TEST(RenameFileTest, ReplacesAReadOnlyTarget) {
  testing::TempDir dir;
  dir.Write("12345678000190.SQL.part", "new");
  dir.Write("12345678000190.SQL", "old");
  SetFileAttributes(dir.File("12345678000190.SQL"), kAttrReadOnly);
  RenameFile(dir.File("12345678000190.SQL.part"), dir.File("12345678000190.SQL"));
  EXPECT_EQ("new", dir.Read("12345678000190.SQL"));
}

TEST(FileReadTest, ReadExactFillsTheBufferOrNamesTheEnd) {
  // A short file ends an exact read with its path in the text, never with a
  // buffer half filled and no error.
  testing::TempDir dir;
  dir.Write("a.ZIP", "PK\x05\x06");
  File f(dir.File("a.ZIP"), File::Mode::kRead);
  std::uint8_t two[2];
  f.ReadExact(two);
  EXPECT_EQ('K', two[1]);
  std::uint8_t three[3];
  try {
    f.ReadExact(three);
    FAIL() << "read past the end";
  } catch (const SystemError& e) {
    EXPECT_EQ(dir.File("a.ZIP") + ": unexpected end of file", std::string(e.what()));
  }
}

TEST(FreeDiskSpaceTest, AnExistingFolderHasSomeAndAMissingOneThrows) {
  testing::TempDir dir;
  EXPECT_GT(FreeDiskSpace(dir.path()), 0u);
  EXPECT_THROW(FreeDiskSpace(dir.File("missing/")), SystemError);
}

}  // namespace
}  // namespace quilvane::platform
