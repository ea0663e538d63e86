// Guards the bytes the head office uploads: every header field, the
// encryption header, the block structure of the Deflate stream.
#include <gtest/gtest.h>

#include <array>

#include "archive/compactar.h"
#include "archive/dos_time.h"
#include "archive/pkware.h"
#include "archive/zip_archiver.h"
#include "archive/zip_format.h"
#include "platform/file.h"
#include "tests/archive/archive_test_util.h"
#include "tests/support/expect_error.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

using quilvane::testing::ThrowsWithText;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kName[] = "12345678000199.SQL";  // 18 bytes, as for a 14-digit CNPJ
constexpr size_t kN = 18;
constexpr char kGoldenTiny[] =
    "504b0304140001000800a470515711a80bb84e000000440000001200000031323334353637383030"
    "303139392e53514cfe41f325ba06aa9ad9dcbca7518cdacd6d842688ebda6e55ed10ec05aef68c40"
    "672a314fc33b97138f1a95116a6986950839fbc6daeaa0f251a24dbb5332eff09652555fb250a307"
    "e880eccfd037504b01021400140001000800a470515711a80bb84e00000044000000120000000000"
    "00000000200000000000000031323334353637383030303139392e53514c504b0506000000000100"
    "0100400000007e0000000000";

std::uint16_t U16(const std::string& s, size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    (static_cast<std::uint8_t>(s[at + 1]) << 8));
}
std::uint32_t U32(const std::string& s, size_t at) {
  return U16(s, at) | (static_cast<std::uint32_t>(U16(s, at + 2)) << 16);
}

// Decrypts a member's data written with the exchange password; returns the
// plain 12-byte header and the plain compressed data.
std::pair<std::string, std::string> DecryptMember(const std::string& data) {
  std::string copy = data;
  auto* bytes = reinterpret_cast<std::uint8_t*>(copy.data());
  std::span<std::uint8_t, 12> header(bytes, 12);
  PkwareKeys keys = DecryptHeader(kArchivePassword, header);
  keys.Decrypt(std::span<std::uint8_t>(bytes + 12, copy.size() - 12));
  return {copy.substr(0, 12), copy.substr(12)};
}

class WriterTest : public ::testing::Test {
 protected:
  // Writes the exchange file with a fixed last-write time and packs it.
  std::string Pack(const std::string& content) {
    source_ = dir_.File(kName);
    WriteFile(source_, content);
    platform::SetFileTime(
        source_, *platform::TryEncodeDate(2023, 10, 17) + platform::EncodeTime(14, 5, 9, 0));
    EXPECT_NO_THROW(archive::Pack(source_, platform::Env::Default()));
    return ReadFile(dir_.File("12345678000199.ZIP"));
  }

  quilvane::testing::TempDir dir_;
  quilvane::testing::FakeEnv env_;
  std::string source_;
};

TEST_F(WriterTest, LaysOutEveryFieldOfASmallArchive) {
  const std::string content = testing::ExchangeText(40);
  const std::string zip = Pack(content);
  const size_t d = zip.size() - 110 - 2 * kN;
  const std::uint32_t crc = testing::Crc32(content);
  const std::uint16_t dos_time = (14 << 11) | (5 << 5) | 4;
  const std::uint16_t dos_date = ((2023 - 1980) << 9) | (10 << 5) | 17;

  // Local header.
  EXPECT_EQ(0x04034B50u, U32(zip, 0));
  EXPECT_EQ(20, U16(zip, 4));
  EXPECT_EQ(0x0001, U16(zip, 6));
  EXPECT_EQ(8, U16(zip, 8));
  EXPECT_EQ(dos_time, U16(zip, 10));
  EXPECT_EQ(dos_date, U16(zip, 12));
  EXPECT_EQ(crc, U32(zip, 14));
  EXPECT_EQ(12 + d, U32(zip, 18));
  EXPECT_EQ(content.size(), U32(zip, 22));
  EXPECT_EQ(kN, U16(zip, 26));
  EXPECT_EQ(0, U16(zip, 28));
  EXPECT_EQ(kName, zip.substr(30, kN));

  // Central directory header: the local header's fields again, and more.
  const size_t c = 42 + kN + d;
  EXPECT_EQ(0x02014B50u, U32(zip, c));
  EXPECT_EQ(20, U16(zip, c + 4));
  EXPECT_EQ(20, U16(zip, c + 6));
  EXPECT_EQ(zip.substr(6, 24), zip.substr(c + 8, 24));
  EXPECT_EQ(0, U16(zip, c + 30));
  EXPECT_EQ(0, U16(zip, c + 32));
  EXPECT_EQ(0, U16(zip, c + 34));
  EXPECT_EQ(0, U16(zip, c + 36));
  EXPECT_EQ(0x20u, U32(zip, c + 38));
  EXPECT_EQ(0u, U32(zip, c + 42));
  EXPECT_EQ(kName, zip.substr(c + 46, kN));

  // End record.
  const size_t e = 88 + 2 * kN + d;
  EXPECT_EQ(0x06054B50u, U32(zip, e));
  EXPECT_EQ(0u, U32(zip, e + 4));
  EXPECT_EQ(1, U16(zip, e + 8));
  EXPECT_EQ(1, U16(zip, e + 10));
  EXPECT_EQ(46 + kN, U32(zip, e + 12));
  EXPECT_EQ(60 + d, U32(zip, e + 16));
  EXPECT_EQ(0, U16(zip, e + 20));
  EXPECT_EQ(e + 22, zip.size());

  // Encryption header: ten draws of the generator seeded from the counter,
  // then the CRC's two high bytes; the raw Deflate data follows.
  const auto [header, deflated] = DecryptMember(zip.substr(30 + kN, 12 + d));
  HeaderRandom random;
  random.Reseed(env_.PerformanceCounter());
  const auto expected_header = MakeEncryptionHeader(random, crc);
  EXPECT_EQ(std::string(expected_header.begin(), expected_header.end()), header);
  EXPECT_TRUE(content == testing::RawInflate(deflated));
}

TEST_F(WriterTest, MatchesTheGoldenBytesOfATinyArchive) {
  // Any change of a field, of the generator or of the compressor shows here.
  const std::string zip =
      Pack("17/10/2023\r\nUPDATE PRODUTOS SET PRECOCUSTO = 1.5 WHERE CODIGO = 7;\r\n");
  std::string hex;
  char b[3];
  for (unsigned char ch : zip) {
    std::snprintf(b, sizeof b, "%02x", ch);
    hex += b;
  }
  EXPECT_EQ(kGoldenTiny, hex);
}

TEST_F(WriterTest, EmptySourceIsStoredWithTheHeaderAlone) {
  const std::string zip = Pack("");
  ASSERT_EQ(110 + 2 * kN, zip.size());
  EXPECT_EQ(0, U16(zip, 8));     // stored
  EXPECT_EQ(0u, U32(zip, 14));   // CRC of nothing
  EXPECT_EQ(12u, U32(zip, 18));  // the encryption header alone
  EXPECT_EQ(0u, U32(zip, 22));
  const auto [header, rest] = DecryptMember(zip.substr(30 + kN, 12));
  EXPECT_EQ(0, header[10]);
  EXPECT_EQ(0, header[11]);
  EXPECT_TRUE(rest.empty());
}

TEST_F(WriterTest, BlocksEndWithSyncFlushExceptTheLast) {
  struct Case {
    size_t size;
    int sync_markers;
  };
  for (const Case c : {Case{524288, 0}, Case{524289, 1}, Case{524288 * 2 + 5, 2}}) {
    SCOPED_TRACE(c.size);
    std::string content = testing::ExchangeText(6000);
    while (content.size() < c.size) content += content;
    content.resize(c.size);
    const std::string zip = Pack(content);
    const size_t d = zip.size() - 110 - 2 * kN;
    const auto [header, deflated] = DecryptMember(zip.substr(30 + kN, 12 + d));
    EXPECT_TRUE(content == testing::RawInflate(deflated));
    // A sync flush leaves an empty stored block, 00 00 FF FF, at a block's end.
    int markers = 0;
    for (size_t at = deflated.find(std::string("\0\0\xff\xff", 4)); at != std::string::npos;
         at = deflated.find(std::string("\0\0\xff\xff", 4), at + 1)) {
      ++markers;
    }
    EXPECT_EQ(c.sync_markers, markers);
  }
}

TEST_F(WriterTest, TwoPackingsDifferOnlyInTheEncryptedData) {
  const std::string content = testing::ExchangeText(200);
  const std::string first = Pack(content);
  env_.set_counter(env_.PerformanceCounter() + 977);
  const std::string second = Pack(content);
  ASSERT_EQ(first.size(), second.size());
  const size_t data_end = first.size() - 68 - kN;  // central header + name + end record
  EXPECT_EQ(first.substr(0, 30 + kN), second.substr(0, 30 + kN));
  EXPECT_EQ(first.substr(data_end), second.substr(data_end));
  EXPECT_NE(first.substr(30 + kN, 10), second.substr(30 + kN, 10));
  // The key stream after the header depends on the random bytes.
  EXPECT_NE(first.substr(data_end - 16, 16), second.substr(data_end - 16, 16));
  const auto a = DecryptMember(first.substr(30 + kN, data_end - 30 - kN));
  const auto b = DecryptMember(second.substr(30 + kN, data_end - 30 - kN));
  EXPECT_EQ(a.second, b.second);
}

TEST_F(WriterTest, NameCodePageAndUtf8Flag) {
  // c-cedilla is in both code pages (OEM byte 0x87); the Greek letter is in
  // neither, so the name goes in UTF-8 with flag bit 11.
  struct Case {
    const char* name;
    const char* stored;
    std::uint16_t flags;
  };
  const Case cases[] = {
      {"pre\xc3\xa7o.sql", "pre\x87o.sql", 0x0001},
      {"\xce\xa9mega.sql", "\xce\xa9mega.sql", 0x0801},
      {"plain.sql", "plain.sql", 0x0001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.File(c.name);
    WriteFile(path, "x");
    TZipArchiver archiver(platform::Env::Default());
    archiver.Password = kArchivePassword;
    archiver.FileName = dir_.File("names.zip");
    archiver.OpenArchive(OpenMode::kCreate);
    archiver.BaseDir = dir_.path();
    archiver.AddFiles(path);
    archiver.CloseArchive();
    const std::string zip = ReadFile(dir_.File("names.zip"));
    const size_t n = std::string(c.stored).size();
    EXPECT_EQ(c.flags, U16(zip, 6));
    EXPECT_EQ(c.stored, zip.substr(30, n));
    // The reader gives the name back.
    archiver.FileName = dir_.File("names.zip");
    archiver.OpenArchive(OpenMode::kRead);
    ASSERT_EQ(1u, archiver.items().size());
    EXPECT_EQ(c.name, archiver.items()[0].name);
    archiver.CloseArchive();
  }
}

TEST_F(WriterTest, FailuresLeaveNoArchive) {
  // A missing source, and a folder where the archive should go: the head
  // office must never upload an empty archive.
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { archive::Pack(dir_.File("missing.SQL"), platform::Env::Default()); },
      "File \"" + dir_.File("missing.SQL") + "\" not found - Native error: 00012"));
  EXPECT_FALSE(platform::FileExists(dir_.File("missing.ZIP")));

  WriteFile(dir_.File("blocked.SQL"), "data");
  platform::CreateDirectories(dir_.File("blocked.ZIP"));
  EXPECT_TRUE(ThrowsWithText<platform::Error>(
      [&] { archive::Pack(dir_.File("blocked.SQL"), platform::Env::Default()); },
      "Cannot create file \"" + dir_.File("blocked.ZIP") + "\". ", /*prefix=*/true));
}

TEST_F(WriterTest, FailureWhileAddingRollsBackToTheEmptyArchive) {
  // A source of 4 GiB would need zip64 fields: refused, and the archive is
  // put back to what it held before (the 22-byte empty archive).
  const std::string big = dir_.File("big.SQL");
  {
    platform::File f(big, platform::File::Mode::kCreate);
    f.Truncate(std::int64_t{0xFFFFFFFF} + 10);  // sparse: costs no disk
  }
  TZipArchiver archiver(platform::Env::Default());
  archiver.Password = kArchivePassword;
  archiver.FileName = dir_.File("big.ZIP");
  archiver.OpenArchive(OpenMode::kCreate);
  archiver.BaseDir = dir_.path();
  try {
    archiver.AddFiles(big);
    FAIL() << "no error";
  } catch (const EArchiveError& e) {
    EXPECT_EQ(43, e.NativeError());
    EXPECT_EQ("Cannot compress file '" + big + "'. Zip64 mode is not enabled - Native error: 00043",
              std::string(e.what()));
  }
  EXPECT_TRUE(archiver.items().empty());
  archiver.CloseArchive();
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'), ReadFile(dir_.File("big.ZIP")));

  // Packing it fails the same way and leaves no archive to upload.
  EXPECT_TRUE(ThrowsWithText<EArchiveError>(
      [&] { archive::Pack(big, platform::Env::Default()); },
      "Cannot compress file '" + big + "'. Zip64 mode is not enabled - Native error: 00043"));
  EXPECT_FALSE(platform::FileExists(dir_.File("big.ZIP")));
}

TEST_F(WriterTest, ReplacesAnOlderArchive) {
  WriteFile(dir_.File("12345678000199.ZIP"), std::string(100000, 'Z'));
  const std::string zip = Pack("abc");
  EXPECT_EQ(std::string::npos, zip.find("ZZZZ"));
  EXPECT_EQ(110 + 2 * kN + U32(zip, 18) - 12, zip.size());
}

TEST_F(WriterTest, EmptyArchiveIsTheEndRecordAlone) {
  TZipArchiver archiver(platform::Env::Default());
  archiver.FileName = dir_.File("empty.zip");
  archiver.OpenArchive(OpenMode::kCreate);
  EXPECT_EQ(0, platform::GetFileInfo(dir_.File("empty.zip")).size);
  // A mask that finds nothing adds nothing and is no error for the archiver
  // itself (Pack is the one that refuses an empty archive).
  archiver.AddFiles(dir_.File("missing.SQL"));
  EXPECT_TRUE(archiver.items().empty());
  archiver.CloseArchive();
  const std::string zip = ReadFile(dir_.File("empty.zip"));
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'), zip);
}

TEST(CompressionSettingsTest, ModesMapToLevelsAndBlocks) {
  struct Case {
    int mode;
    CompressionLevel level;
    size_t block;
    int method;
  };
  constexpr Case kCases[] = {
      {0, CompressionLevel::kNone, 1048576, 0},   {1, CompressionLevel::kFastest, 524288, 8},
      {3, CompressionLevel::kFastest, 524288, 8}, {4, CompressionLevel::kNormal, 1048576, 8},
      {6, CompressionLevel::kNormal, 1048576, 8}, {7, CompressionLevel::kMax, 1572864, 8},
      {9, CompressionLevel::kMax, 1572864, 8},
  };
  TZipArchiver archiver(platform::Env::Default());
  EXPECT_EQ(1, archiver.CompressionMode());  // the default: fastest
  EXPECT_EQ(524288u, archiver.BlockSize());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mode);
    archiver.SetCompressionMode(c.mode);
    EXPECT_EQ(c.level, archiver.compression_level());
    EXPECT_EQ(c.block, archiver.BlockSize());
    EXPECT_EQ(c.method, archiver.CompressionMethod());
  }
  for (int bad : {-1, 10}) {
    try {
      archiver.SetCompressionMode(bad);
      ADD_FAILURE() << bad;
    } catch (const EArchiveError& e) {
      EXPECT_EQ(std::string(
                    "Invalid compression mode. Mode must be in [0-9] range - Native error: 00093"),
                e.what());
    }
  }
}

TEST_F(WriterTest, StoredModeRoundTrips) {
  const std::string content = testing::ExchangeText(3000);
  WriteFile(dir_.File("s.SQL"), content);
  TZipArchiver archiver(platform::Env::Default());
  archiver.Password = kArchivePassword;
  archiver.SetCompressionLevel(CompressionLevel::kNone);
  archiver.FileName = dir_.File("s.zip");
  archiver.OpenArchive(OpenMode::kCreate);
  archiver.BaseDir = dir_.path();
  archiver.AddFiles(dir_.File("s.SQL"));
  archiver.CloseArchive();
  const std::string zip = ReadFile(dir_.File("s.zip"));
  EXPECT_EQ(0, U16(zip, 8));
  EXPECT_EQ(content.size() + 12, U32(zip, 18));
  platform::CreateDirectories(dir_.File("out"));
  ASSERT_NO_THROW(archive::Unpack(dir_.File("s.zip"), dir_.File("out/")));
  EXPECT_TRUE(content == ReadFile(dir_.File("out/s.SQL")));
}

TEST(DosTimeTest, ConvertsBothWays) {
  const auto when = *platform::TryEncodeDate(2023, 10, 17) + platform::EncodeTime(14, 5, 9, 0);
  const DosDateTime dos = ToDosDateTime(when);
  EXPECT_EQ((14 << 11) | (5 << 5) | 4, dos.time);
  EXPECT_EQ(((2023 - 1980) << 9) | (10 << 5) | 17, dos.date);
  EXPECT_EQ(*platform::TryEncodeDate(2023, 10, 17) + platform::EncodeTime(14, 5, 8, 0),
            *FromDosDateTime(dos));
  EXPECT_FALSE(FromDosDateTime({0, 0}).has_value());  // month 0
  EXPECT_EQ(0x21, ToDosDateTime(*platform::TryEncodeDate(1970, 1, 1)).date);
}

}  // namespace
}  // namespace quilvane::archive
