// Guards the atomic write against another local user of the site's machine:
// a link planted where the temporary file will be, a settings link into a
// folder that user can write while the service runs as root, and the
// signing key others may read.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/private_file.h"
#include "platform/safe_path.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

constexpr uid_t kOther = 23456;  // an account that exists on no test machine

std::set<std::string> Entries(const std::string& dir) {
  const std::vector<std::string> names = ListDirectory(dir);
  return {names.begin(), names.end()};
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Every name the old scheme would have used for the temporary file
// ("<target>.tmp<pid>") holds a link to a file of the system; the write
// must neither follow one nor leave anything of its own beside the target.
TEST(SafeAtomicWriteTest, PlantedLinksAtOldTemporaryNamesAreNeverFollowed) {
  testing::TempDir dir;
  dir.Write("shadow", "root:secret\n");
  ASSERT_EQ(0, ::chmod(dir.File("shadow").c_str(), 0600));
  dir.Write("Quilvane.ini", "[Quilvane]\r\n");
  const std::string target = dir.File("Quilvane.ini");
  for (const pid_t pid : {::getpid(), ::getpid() + 1}) {
    ASSERT_EQ(
        0, ::symlink(dir.File("shadow").c_str(), (target + ".tmp" + std::to_string(pid)).c_str()));
  }
  const std::set<std::string> before = Entries(dir.path());

  WriteFileAtomically(target, "[Quilvane]\r\nDataUltimaSincronizacao=17/10/2023\r\n");

  EXPECT_EQ("[Quilvane]\r\nDataUltimaSincronizacao=17/10/2023\r\n", dir.Read("Quilvane.ini"));
  EXPECT_EQ("root:secret\n", dir.Read("shadow"));
  struct stat st {};
  ASSERT_EQ(0, ::stat(dir.File("shadow").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(::geteuid(), st.st_uid);
  EXPECT_EQ(before, Entries(dir.path()));
  for (const pid_t pid : {::getpid(), ::getpid() + 1}) {
    EXPECT_TRUE(IsLink(target + ".tmp" + std::to_string(pid)));
  }
}

TEST(SafeAtomicWriteTest, TemporaryNamesAreFreshAndCreatedOnlyWhereNothingIs) {
  testing::TempDir dir;
  const std::string target = dir.File("status.html");
  std::string first;
  std::string second;
  {
    File a = CreateTemporaryBeside(target, first);
    File b = CreateTemporaryBeside(target, second);
  }
  EXPECT_NE(first, second);
  for (const std::string& name : {first, second}) {
    ASSERT_EQ(target.size() + 21, name.size()) << name;  // ".<16 hex digits>.tmp"
    EXPECT_EQ(0u, name.rfind(target + ".", 0)) << name;
    EXPECT_TRUE(name.ends_with(".tmp")) << name;
    const std::string tag = name.substr(target.size() + 1, 16);
    EXPECT_TRUE(std::all_of(tag.begin(), tag.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    })) << name;
  }

  // A name already taken, by a file, a link or a dangling link.
  dir.Write("victim", "keep");
  dir.Write("taken", "mine");
  ASSERT_EQ(0, ::symlink(dir.File("victim").c_str(), dir.File("link").c_str()));
  ASSERT_EQ(0, ::symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()));
  for (const char* name : {"taken", "link", "dangling"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(File(dir.File(name), File::Mode::kCreateNew), FileExistsError);
  }
  EXPECT_EQ("keep", dir.Read("victim"));
  EXPECT_EQ("mine", dir.Read("taken"));
  EXPECT_FALSE(FileExists(dir.File("nowhere")));
}

TEST(OthersMayReplaceEntryTest, FolderModesOwnersAndLinks) {
  struct Case {
    const char* name;
    std::uint32_t folder_owner;
    std::uint32_t folder_mode;
    std::optional<std::uint32_t> entry_owner;
    std::uint64_t entry_links;
    bool others_may;
  };
  constexpr std::uint32_t kUser = 1000;
  const Case cases[] = {
      {"root's 0755", 0, 0755, 0, 1, false},
      {"a user's own 0700", kUser, 0700, kUser, 1, false},
      {"owner may write, root's file", kUser, 0755, 0, 1, false},
      {"group may write", 0, 0775, 0, 1, true},
      {"everyone may write", 0, 0777, 0, 1, true},
      {"everyone may write, only -w-", 0, 0703, 0, 1, true},
      {"sticky, root's file", 0, 01777, 0, 1, false},
      {"sticky, the folder owner's file", kUser, 01777, kUser, 1, false},
      {"sticky, another user's file", 0, 01777, kUser, 1, true},
      {"sticky, name still free", 0, 01777, std::nullopt, 1, true},
      {"sticky, root's file with another hard link", 0, 01777, 0, 2, true},
      {"group sticky, root's file", 0, 01775, 0, 1, false},
      {"closed folder, hard links", 0, 0755, 0, 3, false},
      {"closed folder, name free", 0, 0755, std::nullopt, 1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.others_may,
              OthersMayReplaceEntry(c.folder_owner, c.folder_mode, c.entry_owner, c.entry_links))
        << c.name;
  }
}

// As root (the service on Linux), settings linked into a folder anyone may
// write are refused: that user could swap the file for a link to one of the
// system's between our look and our write.
class UntrustedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the rule holds for root only";
    std::filesystem::create_directory(dir_.File("shared"));
    ASSERT_EQ(0, ::chmod(dir_.File("shared").c_str(), 0777));
    dir_.Write("shared/Quilvane.ini", kBefore);
    ASSERT_EQ(0, ::symlink(dir_.File("shared/Quilvane.ini").c_str(), path_.c_str()));
  }

  static constexpr char kBefore[] = "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\n";
  testing::TempDir dir_;
  const std::string path_ = dir_.File("Quilvane.ini");
};

TEST_F(UntrustedLinkTest, AWriteThroughALinkIntoA0777FolderIsRefused) {
  const std::optional<std::string> why = UntrustedLinkAsRoot(path_);
  ASSERT_TRUE(why.has_value());
  EXPECT_EQ(path_ + " leads to " + dir_.File("shared/Quilvane.ini") +
                ", and users other than its owner and root can write to " + dir_.File("shared") +
                ": refused while running as root",
            *why);
  EXPECT_THROW(WriteFileAtomically(path_, "new"), UntrustedLinkError);
  try {
    IniFile(path_).WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
    ADD_FAILURE() << "written";
  } catch (const Error& e) {
    EXPECT_EQ("Unable to write to " + path_ + " (" + *why + ")", std::string(e.what()));
  }
  EXPECT_EQ(kBefore, dir_.Read("shared/Quilvane.ini"));
  EXPECT_EQ((std::set<std::string>{"Quilvane.ini"}), Entries(dir_.File("shared")));
  EXPECT_TRUE(IsLink(path_));
}

TEST_F(UntrustedLinkTest, ALinkIntoAFolderOthersCannotUseIsFollowed) {
  // Sticky like /tmp: others may add files but not touch root's.
  ASSERT_EQ(0, ::chmod(dir_.File("shared").c_str(), 01777));
  EXPECT_FALSE(UntrustedLinkAsRoot(path_).has_value());
  IniFile(path_).WriteString("Quilvane", "DataUltimaSincronizacao", "17/10/2023");
  EXPECT_EQ(std::string(kBefore) + "DataUltimaSincronizacao=17/10/2023\r\n",
            dir_.Read("shared/Quilvane.ini"));

  // The same folder, once the file belongs to another user.
  ASSERT_EQ(0, ::chown(dir_.File("shared/Quilvane.ini").c_str(), kOther, kOther));
  EXPECT_TRUE(UntrustedLinkAsRoot(path_).has_value());

  // Not a link: the program's own folder is the install's to guard.
  const std::string plain = dir_.File("shared/Quilvane.ini");
  EXPECT_FALSE(UntrustedLinkAsRoot(plain).has_value());
}

TEST(NothingAtTest, OnlyAnEmptyNameIsNothing) {
  testing::TempDir dir;
  dir.Write("file", "x");
  std::filesystem::create_directory(dir.File("folder"));
  ASSERT_EQ(0, ::symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()));
  EXPECT_TRUE(NothingAt(dir.File("nowhere")));
  EXPECT_TRUE(NothingAt(dir.File("nowhere/below")));
  EXPECT_TRUE(NothingAt(dir.File("file/below")));
  EXPECT_FALSE(NothingAt(dir.File("file")));
  EXPECT_FALSE(NothingAt(dir.File("folder")));
  EXPECT_FALSE(NothingAt(dir.File("dangling")));
}

TEST(ReadPrivateFileTest, OwnerOnlyModesAreReadAndOthersRefused) {
  struct Case {
    mode_t mode;
    bool refused;
  };
  constexpr Case kCases[] = {{0600, false}, {0400, false}, {0700, false}, {0644, true},
                             {0640, true},  {0604, true},  {0620, true},  {0602, true}};
  testing::TempDir dir;
  const std::string key = dir.File("Quilvane.key");
  dir.Write("Quilvane.key", "secret");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(0, ::chmod(key.c_str(), c.mode));
    if (!c.refused) {
      EXPECT_EQ("secret", ReadPrivateFile(key, 100));
      continue;
    }
    try {
      ReadPrivateFile(key, 100);
      ADD_FAILURE() << "read";
    } catch (const ExposedFileError& e) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
      EXPECT_EQ(key + ": legível por outros além do dono (modo " + mode +
                    "); deixe-o só para o dono: chmod 600 " + key,
                std::string(e.what()));
    }
  }
}

TEST(ReadPrivateFileTest, WhatCannotBeReadThrowsAndALongFileIsCut) {
  testing::TempDir dir;
  ASSERT_EQ(0, ::symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str()));
  std::filesystem::create_directory(dir.File("folder"));
  EXPECT_THROW(ReadPrivateFile(dir.File("dangling"), 100), SystemError);
  EXPECT_THROW(ReadPrivateFile(dir.File("folder"), 100), SystemError);
  dir.Write("long", std::string(50, 'k'));
  ASSERT_EQ(0, ::chmod(dir.File("long").c_str(), 0600));
  EXPECT_EQ(std::string(11, 'k'), ReadPrivateFile(dir.File("long"), 10));
}

}  // namespace
}  // namespace quilvane::platform
