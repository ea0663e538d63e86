// Guards the reader against what a download can deliver: a stub in front,
// a cut file, an error page, a wrong password, a flipped byte. Every failure
// throws the archiver's error and leaves no output behind.
#include <gtest/gtest.h>

#include "archive/compactar.h"
#include "archive/zip_archiver.h"
#include "platform/file.h"
#include "tests/archive/archive_test_util.h"
#include "tests/support/expect_error.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

using quilvane::testing::ThrowsWithText;
using testing::ListFiles;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kInvalid[] = "Invalid archive file. - Native error: 00035";
constexpr char kCorrupt[] =
    "Invalid size or check sum of file or unsupported compression format - Native error: 00008";

class ZipFixture : public ::testing::Test {
 protected:
  ZipFixture() {
    platform::CreateDirectories(dir_.File("out"));
    content_ = testing::ExchangeText(3000);
    WriteFile(dir_.File("12345678000199.SQL"), content_);
    EXPECT_NO_THROW(Pack(dir_.File("12345678000199.SQL"), platform::Env::Default()));
    zip_ = ReadFile(dir_.File("12345678000199.ZIP"));
    data_end_ = zip_.size() - 22 - 46 - 18;
  }

  // Writes `bytes` as the downloaded archive and unpacks it: "" on success,
  // else the error's text.
  std::string UnpackError(const std::string& bytes) {
    WriteFile(dir_.File("download.zip"), bytes);
    try {
      archive::Unpack(dir_.File("download.zip"), dir_.File("out/"));
      return "";
    } catch (const EArchiveError& e) {
      return e.what();
    }
  }
  bool Unpack(const std::string& bytes) { return UnpackError(bytes).empty(); }
  std::string Extracted() { return ReadFile(dir_.File("out/12345678000199.SQL")); }

  quilvane::testing::TempDir dir_;
  quilvane::testing::FakeEnv env_;
  std::string content_;
  std::string zip_;
  size_t data_end_ = 0;
};

TEST_F(ZipFixture, IntactArchiveExtracts) {
  ASSERT_TRUE(Unpack(zip_));
  EXPECT_TRUE(content_ == Extracted());
}

TEST_F(ZipFixture, ArchiveAfterAStubIsRead) {
  ASSERT_TRUE(
      Unpack(std::string("MZ\x90\0 self-extractor stub ", 24) + std::string(300, 'x') + zip_));
  EXPECT_TRUE(content_ == Extracted());
}

TEST_F(ZipFixture, CutAfterTheDataOrInsideTheDirectoryIsRebuilt) {
  for (const size_t cut : {data_end_, data_end_ + 20, zip_.size() - 10}) {
    SCOPED_TRACE(cut);
    ASSERT_EQ("", UnpackError(zip_.substr(0, cut)));
    EXPECT_TRUE(content_ == Extracted());
    platform::DeleteFile(dir_.File("out/12345678000199.SQL"));
  }
}

TEST_F(ZipFixture, CutInsideTheDataFails) {
  // Shorter than the member's compressed size: no member is found at all.
  EXPECT_EQ(kInvalid, UnpackError(zip_.substr(0, zip_.size() / 2)));
  // A few bytes short: the member is listed but fails its checks.
  EXPECT_EQ(kCorrupt, UnpackError(zip_.substr(0, data_end_ - 5)));
  EXPECT_TRUE(ListFiles(dir_.File("out/")).empty());
}

TEST_F(ZipFixture, NotAnArchiveAtAll) {
  const std::string html =
      "<!DOCTYPE html><html><head><title>404 Not Found</title></head>"
      "<body><h1>Not Found</h1></body></html>\r\n";
  for (const std::string& bytes :
       {std::string(), html, std::string(70000, '\0'), std::string(70000, 'P')}) {
    EXPECT_EQ(kInvalid, UnpackError(bytes));
  }
  // Nothing but end-record signatures, none of them valid.
  std::string sigs;
  while (sigs.size() < 70000) sigs += std::string("PK\x05\x06", 4);
  EXPECT_FALSE(Unpack(sigs));
  EXPECT_TRUE(ListFiles(dir_.File("out/")).empty());
}

TEST_F(ZipFixture, CorruptedDataByteFailsAndLeavesNothing) {
  for (const size_t at : {size_t{30 + 18 + 12 + 40}, data_end_ / 2, data_end_ - 3}) {
    SCOPED_TRACE(at);
    std::string bad = zip_;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    EXPECT_EQ(kCorrupt, UnpackError(bad));
    EXPECT_TRUE(ListFiles(dir_.File("out/")).empty());
  }
}

TEST_F(ZipFixture, CorruptedCheckByteFailsThePassword) {
  std::string bad = zip_;
  bad[30 + 18 + 11] = static_cast<char>(bad[30 + 18 + 11] ^ 0x01);
  EXPECT_EQ("Wrong password for file \"12345678000199.SQL\" - Native error: 00091",
            UnpackError(bad));
}

TEST_F(ZipFixture, WrongPasswordFailsAndLeavesNothing) {
  TZipArchiver archiver(platform::Env::Default());
  archiver.Password = "not the password";
  archiver.FileName = dir_.File("other.zip");
  archiver.OpenArchive(OpenMode::kCreate);
  archiver.BaseDir = dir_.path();
  archiver.AddFiles(dir_.File("12345678000199.SQL"));
  archiver.CloseArchive();
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { archive::Unpack(dir_.File("other.zip"), dir_.File("out/")); },
      "Wrong password for file \"12345678000199.SQL\" - Native error: 00091"));
  EXPECT_TRUE(ListFiles(dir_.File("out/")).empty());
}

TEST_F(ZipFixture, FailureKeepsTheFileThatWasThere) {
  WriteFile(dir_.File("out/12345678000199.SQL"), "yesterday");
  std::string bad = zip_;
  bad[data_end_ / 2] ^= 0x01;
  EXPECT_FALSE(Unpack(bad));
  EXPECT_EQ(std::vector<std::string>{"12345678000199.SQL"}, ListFiles(dir_.File("out/")));
}

}  // namespace
}  // namespace quilvane::archive
