// Guards what the archiver offers beyond packing and unpacking the exchange
// file: the archive comment (which a signature will travel in), a member
// extracted under the name asked for, the injected environment, and the
// folder listing behind file masks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "archive/compactar.h"
#include "archive/file_selection.h"
#include "archive/zip_archiver.h"
#include "archive/zip_format.h"
#include "archive/zip_writer.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "tests/archive/archive_test_util.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

using testing::ReadFile;
using testing::RunTool;
using testing::WriteFile;

constexpr char kMember[] = "12345678000190.SQL";

std::string Tool(const std::string& name) {
  const auto path = testing::FindTool(name);
  if (!path) ADD_FAILURE() << name << " is not installed (see scripts/packages.d/30-archive.txt)";
  return path.value_or(name);
}

class ArchiverTest : public ::testing::Test {
 protected:
  ArchiverTest() {
    content_ = testing::ExchangeText(2000);
    WriteFile(dir_.File(kMember), content_);
    platform::CreateDirectories(dir_.File("out"));
  }

  // Opens `name` for writing with the exchange's settings.
  void Create(TZipArchiver& archiver, const std::string& name) {
    archiver.Password = kArchivePassword;
    archiver.FileName = dir_.File(name);
    archiver.OpenArchive(OpenMode::kCreate);
    archiver.BaseDir = dir_.path();
  }

  // Packs the exchange file as CompactarArquivo does, with `comment` (when
  // not empty) set before or after the member is added.
  std::string Pack(const std::string& comment, bool before_adding,
                   const std::string& name = "c.zip") {
    return Pack(env_, comment, before_adding, name);
  }
  std::string Pack(platform::Env& env, const std::string& comment, bool before_adding,
                   const std::string& name) {
    TZipArchiver archiver(env);
    Create(archiver, name);
    if (!comment.empty() && before_adding) archiver.SetComment(comment);
    archiver.AddFiles(dir_.File(kMember));
    if (!comment.empty() && !before_adding) archiver.SetComment(comment);
    archiver.CloseArchive();
    return dir_.File(name);
  }

  std::string ReadComment(const std::string& zip) {
    TZipArchiver archiver(env_);
    archiver.FileName = zip;
    archiver.OpenArchive(OpenMode::kRead);
    EXPECT_FALSE(archiver.opened_as_damaged());
    return archiver.comment();
  }

  quilvane::testing::TempDir dir_;
  quilvane::testing::FakeEnv env_;
  std::string content_;
};

TEST_F(ArchiverTest, CommentIsWrittenAfterTheEndRecordAndReadBack) {
  const std::string comment = "QVSIG1 3045022100ab\r\nsecond line";
  for (const bool before : {true, false}) {
    SCOPED_TRACE(before);
    const std::string zip = ReadFile(Pack(comment, before));
    const size_t end = zip.size() - comment.size() - zip::kEndRecordSize;
    EXPECT_EQ(std::string("PK\x05\x06", 4), zip.substr(end, 4));
    EXPECT_EQ(comment.size(), static_cast<std::uint8_t>(zip[end + 20]) +
                                  256u * static_cast<std::uint8_t>(zip[end + 21]));
    EXPECT_EQ(comment, zip.substr(zip.size() - comment.size()));
    EXPECT_EQ(comment, ReadComment(dir_.File("c.zip")));
  }
  // The largest comment the field can carry.
  const std::string longest(zip::kMaxCommentSize, 'x');
  EXPECT_EQ(longest, ReadComment(Pack(longest, false)));
}

TEST_F(ArchiverTest, OtherToolsAcceptAnArchiveWithAComment) {
  const std::string zip = Pack("signature goes here", false);
  const auto unzip = RunTool({Tool("unzip"), "-t", "-P", kArchivePassword, zip});
  EXPECT_EQ(0, unzip.status) << unzip.out;
  const auto sevenzip = RunTool({Tool("7z"), "t", std::string("-p") + kArchivePassword, zip});
  EXPECT_EQ(0, sevenzip.status) << sevenzip.out;
  const auto out = RunTool({Tool("7z"), "x", std::string("-p") + kArchivePassword, "-so", zip});
  EXPECT_TRUE(content_ == out.out);
  // And our own unpacking.
  Unpack(zip, dir_.File("out/"));
  EXPECT_TRUE(content_ == ReadFile(dir_.File("out/") + kMember));
}

TEST_F(ArchiverTest, EmptyArchiveCarriesItsCommentToo) {
  TZipArchiver archiver(env_);
  archiver.FileName = dir_.File("empty.zip");
  archiver.OpenArchive(OpenMode::kCreate);
  archiver.SetComment("none inside");
  archiver.CloseArchive();
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(16, '\0') + "\x0B" + '\0' + "none inside",
            ReadFile(dir_.File("empty.zip")));
  EXPECT_EQ("none inside", ReadComment(dir_.File("empty.zip")));
}

TEST_F(ArchiverTest, RefusedCommentsLeaveTheArchiveAsItWas) {
  const std::string zip = Pack("kept", false);
  const std::string before = ReadFile(zip);
  TZipArchiver archiver(env_);
  EXPECT_THROW(archiver.SetComment("x"), EArchiveError);  // nothing open
  Create(archiver, "r.zip");
  archiver.SetComment("kept");
  archiver.AddFiles(dir_.File(kMember));
  for (const std::string& bad :
       {std::string(zip::kMaxCommentSize + 1, 'x'), std::string("a PK\x05\x06 b", 9)}) {
    try {
      archiver.SetComment(bad);
      ADD_FAILURE() << "accepted";
    } catch (const EArchiveError& e) {
      EXPECT_EQ(kNativeCommentRefused, e.NativeError());
    }
  }
  EXPECT_EQ("kept", archiver.comment());
  archiver.CloseArchive();
  // Same archive bytes as the one that never saw the refused comments, but
  // for the random encryption header.
  EXPECT_EQ(before.size(), ReadFile(dir_.File("r.zip")).size());
  EXPECT_EQ("kept", ReadComment(dir_.File("r.zip")));
}

TEST_F(ArchiverTest, CommentRunningPastTheFileIsNotTrusted) {
  // A comment length beyond the file's end makes the end record invalid:
  // the directory is rebuilt, no comment is read, the member still extracts.
  std::string zip = ReadFile(Pack("0123456789", false));
  zip.resize(zip.size() - 5);
  WriteFile(dir_.File("cut.zip"), zip);
  TZipArchiver archiver(env_);
  archiver.Password = kArchivePassword;
  archiver.FileName = dir_.File("cut.zip");
  archiver.OpenArchive(OpenMode::kRead);
  EXPECT_TRUE(archiver.opened_as_damaged());
  EXPECT_EQ("", archiver.comment());
  archiver.BaseDir = dir_.File("out");
  archiver.ExtractFiles("*.*");
  EXPECT_TRUE(content_ == ReadFile(dir_.File("out/") + kMember));
}

TEST_F(ArchiverTest, MemberMatchedInAnotherCaseIsWrittenUnderTheNameAskedFor) {
  // An archive made by hand with Info-ZIP from a lower-case file name.
  WriteFile(dir_.File("12345678000190.sql"), content_);
  platform::DeleteFile(dir_.File(kMember));
  const std::string zip = dir_.File("byhand.zip");
  const auto made = RunTool(
      {Tool("zip"), "-q", "-j", "-P", kArchivePassword, zip, dir_.File("12345678000190.sql")});
  ASSERT_EQ(0, made.status) << made.out;
  TZipArchiver archiver(env_);
  archiver.Password = kArchivePassword;
  archiver.FileName = zip;
  archiver.OpenArchive(OpenMode::kRead);
  archiver.BaseDir = dir_.File("out");
  const auto index = archiver.FindRootItem(kMember);
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ("12345678000190.sql", archiver.items()[*index].name);
  archiver.ExtractItem(*index, kMember);
  EXPECT_EQ(std::vector<std::string>{kMember}, testing::ListFiles(dir_.File("out")));
  EXPECT_TRUE(content_ == ReadFile(dir_.File("out/") + kMember));
  // The name asked for passes the same checks as a stored one.
  try {
    archiver.ExtractItem(*index, "../12345678000190.SQL");
    ADD_FAILURE() << "extracted outside the destination";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(kNativeUnsafeName, e.NativeError());
  }
}

// An environment that is not the process's default.
class CounterEnv : public platform::Env {
 public:
  explicit CounterEnv(std::uint64_t counter) : counter_(counter) {}
  platform::DateTime Now() override { return 45000.5; }
  std::chrono::system_clock::time_point UtcNow() override { return platform::TimePointOf(45000.5); }
  platform::FormatSettings Regional() override { return {}; }
  std::uint64_t PerformanceCounter() override { return counter_; }

 private:
  std::uint64_t counter_;
};

TEST_F(ArchiverTest, EncryptionHeaderFollowsTheInjectedEnvironment) {
  auto pack = [&](platform::Env& env) { return ReadFile(Pack(env, "", false, "e.zip")); };
  CounterEnv one(1), two(2);
  const std::string a = pack(one);
  EXPECT_EQ(a, pack(one));
  EXPECT_NE(a, pack(two));
  EXPECT_NE(a, pack(env_));  // the default environment is not consulted
}

TEST_F(ArchiverTest, FilesThatCannotBeOpenedOrCreatedCarryTheSystemsReason) {
  // The operator reads why: a folder in the place of the member's part file,
  // and a source gone between its listing and its packing.
  const std::string zip = Pack("", false);
  platform::CreateDirectories(dir_.File("out/") + kMember + ".part");
  try {
    Unpack(zip, dir_.File("out"));
    FAIL() << "extracted over a folder";
  } catch (const EArchiveError& e) {
    EXPECT_EQ("Cannot create file \"" + dir_.File("out/") + kMember + "\". " +
                  platform::SystemMessage(EISDIR) + " - Native error: 00019",
              std::string(e.what()));
  }
  EXPECT_FALSE(platform::FileExists(dir_.File("out/") + kMember));
  EXPECT_TRUE(platform::DirectoryExists(dir_.File("out/") + kMember + ".part"));

  HeaderRandom random;
  ZipWriter writer(dir_.File("gone.zip"), env_, random);
  const WriteSettings settings{kArchivePassword};
  DirItem item = writer.ItemFor(dir_.File(kMember), dir_.path(), settings);
  platform::DeleteFile(dir_.File(kMember));
  try {
    writer.Add({item}, settings);
    FAIL() << "packed a missing source";
  } catch (const EArchiveError& e) {
    EXPECT_EQ("Cannot open file \"" + dir_.File(kMember) + "\". " +
                  platform::SystemMessage(ENOENT) + " - Native error: 00033",
              std::string(e.what()));
  }
  EXPECT_TRUE(writer.items().empty());
}

TEST(ListDirectoryTest, ListsNamesWithoutDotsAndFailsOnAMissingFolder) {
  quilvane::testing::TempDir dir;
  WriteFile(dir.File("a.SQL"), "1");
  WriteFile(dir.File("Preço.sql"), "2");
  platform::CreateDirectories(dir.File("sub"));
  std::vector<std::string> names = platform::ListDirectory(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"Preço.sql", "a.SQL", "sub"}), names);
  EXPECT_TRUE(platform::ListDirectory(dir.File("sub")).empty());
  EXPECT_THROW(platform::ListDirectory(dir.File("missing")), platform::SystemError);
}

TEST(FindFilesTest, MasksPickFilesOnlyAndNeverTheArchive) {
  quilvane::testing::TempDir dir;
  for (const char* name : {"b.SQL", "a.sql", "c.txt", "x.ZIP"}) WriteFile(dir.File(name), "1");
  platform::CreateDirectories(dir.File("d.SQL"));
  const std::uint32_t all = kSearchAttrAll & ~platform::kAttrDirectory;
  EXPECT_EQ((std::vector<std::string>{dir.File("a.sql"), dir.File("b.SQL")}),
            FindFiles("*.SQL", dir.path(), all, "", dir.File("x.ZIP")));
  EXPECT_EQ((std::vector<std::string>{dir.File("a.sql"), dir.File("c.txt")}),
            FindFiles(dir.File("*"), "", all, "b*", dir.File("X.zip")));
  EXPECT_TRUE(FindFiles("*", dir.File("missing"), all, "", "").empty());
  EXPECT_EQ(std::vector<std::string>{dir.File("c.txt")},
            FindFiles("c.txt", dir.path(), all, "", ""));
}

}  // namespace
}  // namespace quilvane::archive
