// Guards packing and unpacking as the cycle calls them: what reaches the
// folder, the error each refusal throws, and that nothing unsafe or partial
// is ever left behind.
#include "archive/compactar.h"

#include <gtest/gtest.h>

#include "archive/archive_error.h"
#include "archive/zip_archiver.h"
#include "platform/disk_space.h"
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

class CompactarTest : public ::testing::Test {
 protected:
  CompactarTest() { platform::CreateDirectories(dir_.File("out")); }

  std::string out() const { return dir_.File("out/"); }

  // Packs `content` as the exchange file and returns the archive's path.
  std::string PackExchange(const std::string& content) {
    WriteFile(dir_.File("12345678000199.SQL"), content);
    EXPECT_NO_THROW(Pack(dir_.File("12345678000199.SQL"), platform::Env::Default()));
    return dir_.File("12345678000199.ZIP");
  }

  quilvane::testing::TempDir dir_;
  quilvane::testing::FakeEnv env_;
};

TEST_F(CompactarTest, RoundTripsAcrossBlockBoundaries) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{524288}, size_t{524289}}) {
    SCOPED_TRACE(size);
    std::string content = testing::ExchangeText(6000);
    while (content.size() < size) content += content;
    content.resize(size);
    const std::string zip = PackExchange(content);
    ASSERT_NO_THROW(Unpack(zip, out()));
    EXPECT_TRUE(content == ReadFile(out() + "12345678000199.SQL"));
  }
}

TEST_F(CompactarTest, KeepsTheTimeAndReplacesAReadOnlyFile) {
  WriteFile(dir_.File("12345678000199.SQL"), "new content");
  const auto when = *platform::TryEncodeDate(2023, 10, 17) + platform::EncodeTime(14, 5, 10, 0);
  platform::SetFileTime(dir_.File("12345678000199.SQL"), when);
  ASSERT_NO_THROW(Pack(dir_.File("12345678000199.SQL"), platform::Env::Default()));
  const std::string target = out() + "12345678000199.SQL";
  WriteFile(target, "old content that is longer");
  platform::SetFileAttributes(target, platform::kAttrReadOnly);

  ASSERT_NO_THROW(Unpack(dir_.File("12345678000199.ZIP"), out()));
  EXPECT_EQ("new content", ReadFile(target));
  const auto info = platform::GetFileInfo(target);
  EXPECT_DOUBLE_EQ(when, info.last_write);
  EXPECT_EQ(0u, info.attributes & platform::kAttrReadOnly);
}

TEST_F(CompactarTest, OnlyMemberExtractsTheExchangeFileAlone) {
  // A downloaded archive must never replace the settings or the program
  // beside the exchange file.
  WriteFile(dir_.File("archive.zip"),
            testing::BuildZip({testing::Stored("12345678000199.SQL/", ""),
                               testing::Stored("Quilvane.ini", "[Quilvane]\r\nCNPJServidor=1\r\n"),
                               testing::Stored("sub/12345678000199.SQL", "nested"),
                               testing::Stored("12345678000199.sql", "root member")}));
  UnpackOptions only;
  only.only_member = "12345678000199.SQL";
  ASSERT_NO_THROW(Unpack(dir_.File("archive.zip"), out(), only));
  // Matched whatever its letter case, it is written under the name the
  // import opens and the cleanup removes.
  EXPECT_EQ(std::vector<std::string>{"12345678000199.SQL"}, ListFiles(out()));
  EXPECT_EQ("root member", ReadFile(out() + "12345678000199.SQL"));

  // Without the member the unpacking fails, naming it.
  WriteFile(dir_.File("other.zip"), testing::BuildZip({testing::Stored("tolmarc.ini", "x")}));
  only.only_member = "99999999000199.SQL";
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { Unpack(dir_.File("other.zip"), out(), only); },
      "File \"99999999000199.SQL\" is not in the archive - Native error: 00092"));
  EXPECT_FALSE(platform::FileExists(out() + "tolmarc.ini"));
}

// A member whose directory entry announces more than the ceiling, or more
// than the disk holds beside the margin, is refused before a byte is
// written; one at the ceiling is extracted.
TEST_F(CompactarTest, MembersPastTheCeilingOrTheFreeSpaceAreRefused) {
  WriteFile(dir_.File("archive.zip"),
            testing::BuildZip({testing::Stored("12345678000199.SQL", std::string(1000, 'x'))}));
  struct Case {
    const char* name;
    std::uint64_t max_member_bytes;
    std::uint64_t free_margin_bytes;
    const char* error;  // nullptr: extracted
    bool whole;         // the whole text, or how it starts
  };
  const Case cases[] = {
      {"at the ceiling", 1000, 0, nullptr, true},
      {"past the ceiling", 999, 0,
       "o arquivo 12345678000199.SQL descompactado teria 1000 bytes, mais que 1 MB "
       "(TamanhoMaximoMB)",
       true},
      {"no room", 0, std::uint64_t{1} << 62, "espa\xC3\xA7o livre insuficiente em ", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    if (platform::FileExists(out() + "12345678000199.SQL")) {
      platform::DeleteFile(out() + "12345678000199.SQL");
    }
    UnpackOptions options;
    options.only_member = "12345678000199.SQL";
    options.max_member_bytes = tc.max_member_bytes;
    options.ceiling_text = "1 MB (TamanhoMaximoMB)";
    options.free_margin_bytes = tc.free_margin_bytes;
    const auto unpack = [&] { Unpack(dir_.File("archive.zip"), out(), options); };
    if (tc.error == nullptr) {
      EXPECT_NO_THROW(unpack());
    } else if (tc.max_member_bytes > 0) {
      EXPECT_TRUE(ThrowsWithText<platform::Error>(unpack, tc.error, !tc.whole));
    } else {
      EXPECT_TRUE(ThrowsWithText<platform::NoRoomError>(unpack, tc.error, !tc.whole));
    }
    EXPECT_EQ(platform::FileExists(out() + "12345678000199.SQL"), tc.error == nullptr);
  }
}

TEST_F(CompactarTest, WithoutOnlyMemberEveryMemberIsExtractedWithFolders) {
  WriteFile(dir_.File("archive.zip"),
            testing::BuildZip({testing::Stored("a/", ""), testing::Stored("a/b/c.txt", "deep"),
                               testing::Stored("top.txt", "top")}));
  ASSERT_NO_THROW(Unpack(dir_.File("archive.zip"), out()));
  EXPECT_EQ((std::vector<std::string>{"a/b/c.txt", "top.txt"}), ListFiles(out()));
  EXPECT_EQ("deep", ReadFile(out() + "a/b/c.txt"));
}

TEST_F(CompactarTest, RefusesNamesThatLeaveTheFolder) {
  const char* const names[] = {"../escaped.txt",  "a/../../escaped.txt", "/tmp/escaped.txt",
                               "C:/escaped.txt",  "C:escaped.txt",       "\\\\server\\escaped.txt",
                               "..\\escaped.txt", "\\escaped.txt"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    WriteFile(dir_.File("evil.zip"), testing::BuildZip({testing::Stored(name, "owned")}));
    try {
      Unpack(dir_.File("evil.zip"), out());
      ADD_FAILURE() << "extracted";
    } catch (const EArchiveError& e) {
      EXPECT_EQ(kNativeUnsafeName, e.NativeError());
      EXPECT_TRUE(std::string_view(e.what()).ends_with(
          " outside the destination folder - Native error: 00090"))
          << e.what();
    }
    EXPECT_TRUE(ListFiles(out()).empty());
    EXPECT_FALSE(platform::FileExists(dir_.File("escaped.txt")));
    EXPECT_FALSE(platform::FileExists("/tmp/escaped.txt"));
  }
}

TEST_F(CompactarTest, StopsInflatingPastTheDeclaredSize) {
  // 8 MiB of zeros declared as 1,000 bytes: the member fails as soon as the
  // output passes the declared size, and nothing remains.
  WriteFile(dir_.File("bomb.zip"),
            testing::BuildZip({testing::Deflated("bomb.bin", std::string(8 << 20, '\0'), 1000)}));
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { Unpack(dir_.File("bomb.zip"), out()); },
      "Invalid size or check sum of file or unsupported compression format - Native error: "
      "00008"));
  EXPECT_TRUE(ListFiles(out()).empty());
}

TEST_F(CompactarTest, MethodsOtherThanStoredAndDeflateFail) {
  struct Case {
    std::uint16_t method;
    const char* text;
  };
  for (const Case c :
       {Case{9, "Deflate64 compression method is not supported - Native error: 00055"},
        Case{12,
             "Invalid size or check sum of file or unsupported compression "
             "format - Native error: 00008"}}) {
    auto member = testing::Stored("m.bin", "data");
    member.method = c.method;
    WriteFile(dir_.File("m.zip"), testing::BuildZip({member}));
    EXPECT_TRUE(ThrowsWithText<EArchiveError>([&] { Unpack(dir_.File("m.zip"), out()); }, c.text));
    EXPECT_TRUE(ListFiles(out()).empty());
  }
}

TEST_F(CompactarTest, AnEmptyArchiveExtractsNothingWithoutError) {
  WriteFile(dir_.File("empty.zip"), testing::BuildZip({}));
  EXPECT_NO_THROW(Unpack(dir_.File("empty.zip"), out()));
  EXPECT_TRUE(ListFiles(out()).empty());
}

TEST_F(CompactarTest, MissingArchiveAndSourceAreNamedWithTheirPath) {
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { Pack(dir_.File("missing.SQL"), platform::Env::Default()); },
      "File \"" + dir_.File("missing.SQL") + "\" not found - Native error: 00012"));
  EXPECT_FALSE(platform::FileExists(dir_.File("missing.ZIP")));
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { Unpack(dir_.File("none.zip"), out()); },
      "File \"" + dir_.File("none.zip") + "\" not found - Native error: 00012"));
}

TEST(ArchivePathTest, ReplacesTheExtension) {
  EXPECT_EQ("/x/12345678000199.ZIP", ArchivePathFor("/x/12345678000199.SQL"));
  EXPECT_EQ("/x.d/file.ZIP", ArchivePathFor("/x.d/file"));
  EXPECT_EQ("a.b.ZIP", ArchivePathFor("a.b.c"));
}

}  // namespace
}  // namespace quilvane::archive
