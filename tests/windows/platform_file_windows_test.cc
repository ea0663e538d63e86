// Files on Windows, run under Wine by scripts/test-windows: creating,
// reading and replacing them, their attributes and times, folders, new names
// that never open what is there, and the executable's folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/error_kinds.h"
#include "platform/file.h"
#include "tests/windows/temp_folder.h"

namespace quilvane::platform {
namespace {

TEST(WindowsFile, CreateAppendReadSeekTruncate) {
  TempFolder dir;
  const std::string path = dir("preço.txt");
  {
    File f(path, File::Mode::kCreate);
    f.Write(std::string_view("hello "));
    f.Close();
  }
  {
    File f(path, File::Mode::kAppend);
    f.Write(std::string_view("wor"));
    // Others may read the log while it is appended to.
    EXPECT_EQ("hello wor", ReadFileToString(path));
    f.Write(std::string_view("ld"));
    EXPECT_EQ(11, f.Size());
  }
  EXPECT_EQ("hello world", ReadFileToString(path));
  {
    File f(path, File::Mode::kReadWrite);
    EXPECT_EQ(11, f.Size());
    f.Seek(6);
    char buf[5];
    ASSERT_EQ(5u, f.Read(std::span<char>(buf, 5)));
    EXPECT_EQ("world", std::string(buf, 5));
    EXPECT_EQ(0u, f.Read(std::span<char>(buf, 5)));
    f.Truncate(5);
    f.Sync();
  }
  EXPECT_EQ("hello", ReadFileToString(path));
  // The name on disk is the UTF-16 of the UTF-8 given.
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Widen(path).c_str()));
}

TEST(WindowsFile, MissingFileFailsWithTheSystemCodeAndNamesThePath) {
  TempFolder dir;
  try {
    File f(dir("nada.txt"), File::Mode::kRead);
    FAIL() << "opened a missing file";
  } catch (const SystemError& e) {
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, e.code());
    EXPECT_TRUE(IsNotFound(e));
    EXPECT_FALSE(IsDiskFull(e));
    EXPECT_NE(std::string::npos, std::string(e.what()).find("nada.txt")) << e.what();
  }
  try {
    File f(dir("no-folder\\nada.txt"), File::Mode::kCreate);
    FAIL() << "created a file in a missing folder";
  } catch (const SystemError& e) {
    EXPECT_TRUE(IsNotFound(e)) << e.code();
  }
  EXPECT_FALSE(FileExists(dir("nada.txt")));
  EXPECT_FALSE(DeleteFile(dir("nada.txt")));
  EXPECT_THROW(ReadFileToString(dir("nada.txt")), SystemError);
}

TEST(WindowsFile, ReadExactStopsAtTheEnd) {
  TempFolder dir;
  WriteFileAtomically(dir("a"), "abc");
  File f(dir("a"), File::Mode::kRead);
  std::uint8_t buf[4];
  EXPECT_THROW(f.ReadExact(buf), SystemError);
}

TEST(WindowsFile, AttributesTimesAndInfo) {
  TempFolder dir;
  const std::string path = dir("x.sql");
  WriteFileAtomically(path, "12345");
  const DateTime when = *TryEncodeDate(2020, 2, 29) + EncodeTime(13, 45, 58, 0);
  SetFileTime(path, when);
  SetFileAttributes(path, kAttrReadOnly | kAttrHidden);
  const FileInfo info = GetFileInfo(path);
  EXPECT_EQ(5, info.size);
  EXPECT_NEAR(when, info.last_write, 1.0 / 86400 / 2);
  EXPECT_EQ(kAttrReadOnly | kAttrHidden, info.attributes & (kAttrReadOnly | kAttrHidden));
  EXPECT_EQ(0u, info.attributes & kAttrDirectory);
  // A read-only file is not replaced behind the operator's back.
  EXPECT_THROW(WriteFileAtomically(path, "other"), SystemError);
  EXPECT_EQ("12345", ReadFileToString(path));
  SetFileAttributes(path, 0);
  EXPECT_EQ(0u, GetFileInfo(path).attributes & kAttrReadOnly);
  WriteFileAtomically(path, "other");
  EXPECT_EQ("other", ReadFileToString(path));
  EXPECT_TRUE(DeleteFile(path));
  EXPECT_FALSE(FileExists(path));
}

TEST(WindowsFile, DirectoriesAndRename) {
  TempFolder dir;
  const std::string nested = dir("a\\b/c");
  CreateDirectories(nested);
  EXPECT_TRUE(DirectoryExists(nested));
  EXPECT_FALSE(FileExists(nested));
  EXPECT_EQ(kAttrDirectory, GetFileInfo(nested).attributes & kAttrDirectory);
  CreateDirectories(nested);  // already there
  WriteFileAtomically(dir("from"), "1");
  WriteFileAtomically(dir("to"), "2");
  RenameFile(dir("from"), dir("to"));
  EXPECT_EQ("1", ReadFileToString(dir("to")));
  EXPECT_FALSE(FileExists(dir("from")));
}

// The unpacked exchange file replaces one left read-only beside the program,
// as on Linux; a rewrite keeps the old file's attributes.
TEST(WindowsFile, RenameReplacesReadOnlyTargetAndRewriteKeepsAttributes) {
  TempFolder dir;
  WriteFileAtomically(dir("12345678000190.SQL.part"), "new");
  WriteFileAtomically(dir("12345678000190.SQL"), "old");
  SetFileAttributes(dir("12345678000190.SQL"), kAttrReadOnly);
  RenameFile(dir("12345678000190.SQL.part"), dir("12345678000190.SQL"));
  EXPECT_EQ("new", ReadFileToString(dir("12345678000190.SQL")));
  EXPECT_FALSE(FileExists(dir("12345678000190.SQL.part")));
  WriteFileAtomically(dir("Quilvane.ini"), "[Quilvane]\r\n");
  SetFileAttributes(dir("Quilvane.ini"), kAttrHidden);
  // Wine keeps the attribute only where the file system has extended
  // attributes; Windows always does.
  const bool held = (GetFileInfo(dir("Quilvane.ini")).attributes & kAttrHidden) != 0;
  WriteFileAtomically(dir("Quilvane.ini"), "[Quilvane]\r\nDataUltimaSincronizacao=1\r\n");
  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=1\r\n", ReadFileToString(dir("Quilvane.ini")));
  if (held) {
    EXPECT_EQ(kAttrHidden, GetFileInfo(dir("Quilvane.ini")).attributes & kAttrHidden);
  }
}

// A name taken by anything, a link included, is never opened for a new file.
TEST(WindowsFile, CreateNewNeverOpensWhatIsThere) {
  TempFolder dir;
  WriteFileAtomically(dir("victim"), "keep");
  EXPECT_THROW(File(dir("victim"), File::Mode::kCreateNew), FileExistsError);
  if (CreateSymbolicLinkW(Widen(dir("link")).c_str(), Widen(dir("nowhere")).c_str(), 0)) {
    // Windows refuses the taken name; Wine opens the link itself. Neither
    // goes through it to create the file it names.
    try {
      File(dir("link"), File::Mode::kCreateNew);
    } catch (const FileExistsError&) {
    }
    EXPECT_FALSE(FileExists(dir("nowhere")));
  }
  std::string a, b;
  {
    File first = CreateTemporaryBeside(dir("status.html"), a);
    File second = CreateTemporaryBeside(dir("status.html"), b);
  }
  EXPECT_NE(a, b);
  EXPECT_EQ(dir("status.html").size() + 21, a.size());
  EXPECT_EQ("keep", ReadFileToString(dir("victim")));
}

TEST(WindowsFile, ExecutableDirIsTheProgramsFolder) {
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ('\\', dir.back());
  EXPECT_EQ('\\', PathSeparator());
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_EQ(0u, Narrow(exe).rfind(dir, 0));
}

}  // namespace
}  // namespace quilvane::platform
