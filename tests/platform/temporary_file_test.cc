// Guards the file that must not outlive its step (a half-written archive, an
// export that failed, an unpacked copy): removed when its owner goes, kept
// only when asked, never removed twice or by the wrong owner after a move,
// and never an exception from a destructor.
#include "platform/temporary_file.h"

#include <gtest/gtest.h>

#include <utility>

#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

class TemporaryFileTest : public ::testing::Test {
 protected:
  std::string Made(const std::string& name) {
    dir_.Write(name, "partial");
    return dir_.File(name);
  }

  quilvane::testing::TempDir dir_;
};

TEST_F(TemporaryFileTest, RemovedWhenItsOwnerGoesUnlessKept) {
  const std::string dropped = Made("dropped.ZIP");
  const std::string kept = Made("kept.ZIP");
  {
    TemporaryFile a(dropped);
    TemporaryFile b(kept);
    b.Keep();
    EXPECT_EQ("", b.path());
  }
  EXPECT_FALSE(FileExists(dropped));
  EXPECT_TRUE(FileExists(kept));
}

TEST_F(TemporaryFileTest, RemoveIsAtOnceAndOnlyOnce) {
  const std::string path = Made("a.SQL");
  TemporaryFile t(path);
  t.Remove();
  EXPECT_FALSE(FileExists(path));
  // A file made later under the same name is someone else's.
  dir_.Write("a.SQL", "new");
  t.Remove();
  EXPECT_TRUE(FileExists(path));
}

TEST_F(TemporaryFileTest, AMoveHandsTheFileOnAndAnAssignmentRemovesTheOldOne) {
  const std::string first = Made("first.part");
  const std::string second = Made("second.part");
  TemporaryFile owner(first);
  {
    TemporaryFile moved(std::move(owner));
    EXPECT_EQ("", owner.path());
    EXPECT_TRUE(FileExists(first));  // the moved-from owner removed nothing
  }
  EXPECT_FALSE(FileExists(first));

  TemporaryFile a(Made("third.part"));
  a = TemporaryFile(second);
  EXPECT_FALSE(FileExists(dir_.File("third.part")));
  EXPECT_TRUE(FileExists(second));
  EXPECT_EQ(second, a.path());
}

TEST_F(TemporaryFileTest, WhatCannotBeRemovedIsLeftQuietly) {
  // Nothing at the path, and a folder where the file was expected: neither
  // throws, and the folder stays.
  CreateDirectories(dir_.File("folder"));
  EXPECT_NO_THROW({
    TemporaryFile missing(dir_.File("missing.SQL"));
    TemporaryFile folder(dir_.File("folder"));
  });
  EXPECT_TRUE(DirectoryExists(dir_.File("folder")));
}

}  // namespace
}  // namespace quilvane::platform
