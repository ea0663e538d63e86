// Guards the reader against the archive shapes other tools write and the
// malformed ones a download can deliver, built here byte for byte (and by
// Info-ZIP, 7-Zip and Python's zipfile at test time), so a clone of the
// repository alone proves them.
#include <gtest/gtest.h>

#include <functional>

#include "archive/zip_archiver.h"
#include "tests/archive/archive_test_util.h"
#include "tests/archive/shapes.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

using shapes::Descriptor;
using shapes::Expect;
using shapes::Layout;
using shapes::Member;

const std::string kText = "This is a test text file.\n";
const std::string kSql = testing::ExchangeText(40);

Member Plain(const std::string& name, const std::string& content, std::uint16_t method = 8) {
  Member m;
  m.name = name;
  m.content = content;
  m.method = method;
  return m;
}

Member Streamed(const std::string& name, const std::string& content, Descriptor d,
                std::uint16_t method = 8) {
  Member m = Plain(name, content, method);
  m.descriptor = d;
  return m;
}

Member Encrypted(Member m, const std::string& password, bool check_with_time) {
  m.password = password;
  m.check_with_time = check_with_time;
  return m;
}

// Two members: the exchange file, deflated, and a stored text.
std::vector<Member> Pair() { return {Plain("A.SQL", kSql), Plain("b.txt", kText, 0)}; }
const std::string kPair = Expect("A.SQL", kSql) + " " + Expect("b.txt", kText);

// A password that decrypts the member's header to its CRC's high byte while
// the member is checked against its DOS time: found by trying, as libzip's
// "decrypt-wrong-password-pkware-2" case was.
std::string PasswordPassingTheCrcCheck(const Member& m) {
  const std::string zip = shapes::Build({m});
  const std::uint8_t crc_high = testing::Crc32(m.content) >> 24;
  for (int i = 0; i < 100000; ++i) {
    const std::string candidate = "pw" + std::to_string(i);
    std::array<std::uint8_t, 12> header;
    std::copy_n(zip.begin() + 30 + m.name.size(), 12, header.begin());
    DecryptHeader(candidate, header);
    if (header[11] == crc_high && candidate != *m.password) return candidate;
  }
  return "";
}

struct ShapeCase {
  const char* name;
  std::function<std::string()> bytes;
  std::string password;
  std::string outcome;
};

std::vector<ShapeCase> Cases() {
  const std::string stub = std::string("MZ\x90\0 self-extractor stub ", 24) + std::string(43, 'x');
  Member wrong_crc = Plain("afile", kText, 0);
  wrong_crc.local_crc = wrong_crc.directory_crc = 0xFFAB723A;
  Member wrong_crc_deflated = Plain("afile", kSql);
  wrong_crc_deflated.local_crc = wrong_crc_deflated.directory_crc = 0x454B4146;
  Member bad_dd = Streamed("foo.txt", "foo\n", Descriptor::kSigned, 0);
  bad_dd.descriptor_crc = testing::Crc32("foo\n") + 1;
  Member time_checked = Encrypted(Streamed("A.SQL", kSql, Descriptor::kSigned), "foo", true);
  Member bit3_cleared = Encrypted(Plain("A.SQL", kSql), "foo", true);  // no bit 3, time check
  Member aes = Plain("aes", kText, 99);

  std::vector<ShapeCase> cases = {
      {"Intact", [] { return shapes::Build(Pair()); }, "", kPair},
      {"TrailingJunk",
       [] {
         Layout l;
         l.comment = "This is a zipfile comment.";
         return shapes::Build(Pair(), l) + std::string(14, 'j');
       },
       "", kPair},
      // A stub in front, the offsets not counting it (a stub glued on with
      // cat) or counting it (as "zip -A" leaves them).
      {"PrefixNotCounted",
       [stub] {
         Layout l;
         l.prefix = stub;
         return shapes::Build(Pair(), l);
       },
       "", kPair},
      {"PrefixCounted",
       [stub] {
         Layout l;
         l.prefix = stub;
         l.offsets_include_prefix = true;
         return shapes::Build(Pair(), l);
       },
       "", kPair},
      // A wrong directory size or offset misplaces the directory: the
      // members are found from their local headers.
      {"DirectorySizeTooSmall",
       [] {
         Layout l;
         l.directory_size_delta = -16;
         return shapes::Build(Pair(), l);
       },
       "", "[rebuilt] " + kPair},
      {"DirectorySizeTooSmallByALot",
       [] {
         Layout l;
         l.directory_size_delta = -78;
         return shapes::Build(Pair(), l);
       },
       "", "[rebuilt] " + kPair},
      // An offset a few bytes off is mended from where the directory
      // really ends (the end record); one past the file forces the rebuild.
      {"DirectoryOffsetWrong",
       [] {
         Layout l;
         l.directory_offset_delta = 7;
         return shapes::Build(Pair(), l);
       },
       "", kPair},
      {"DirectoryOffsetPastTheFile",
       [] {
         Layout l;
         l.directory_offset_delta = 1 << 30;
         return shapes::Build(Pair(), l);
       },
       "", "[rebuilt] " + kPair},
      // The end record claims far more entries than the directory holds.
      {"HugeEntryCount",
       [] {
         Layout l;
         l.entries = 0xFFFE;
         return shapes::Build(Pair(), l);
       },
       "", "[rebuilt] " + kPair},
      {"HugeZip64EntryCount",
       [] {
         Layout l;
         l.zip64_end = true;
         l.zip64_entries = ~std::uint64_t{0};
         return shapes::Build(Pair(), l);
       },
       "", "[rebuilt] " + kPair},
      // Names that would leave the folder fail; the others still extract.
      {"DotDotNames",
       [] {
         return shapes::Build({Plain("../test.txt", kText), Plain("a/../../b.txt", kText),
                               Plain("/etc/passwd", kText), Plain("..\\win.ini", kText),
                               Plain("ok.txt", kText)});
       },
       "",
       "../test.txt!90 a/../../b.txt!90 /etc/passwd!90 ..\\win.ini!90 " + Expect("ok.txt", kText)},
      // Stored and deflated members whose CRC does not match their data.
      {"BadCrcStored", [wrong_crc] { return shapes::Build({wrong_crc}); }, "", "afile!8"},
      {"BadCrcDeflated", [wrong_crc_deflated] { return shapes::Build({wrong_crc_deflated}); }, "",
       "afile!8"},
      // The descriptor's CRC is wrong while the directory's is right.
      {"BadCrcInDescriptor",
       [bad_dd] {
         return shapes::Build({bad_dd, Streamed("bar.txt", "bar\n", Descriptor::kSigned, 0)});
       },
       "", "foo.txt!8 " + Expect("bar.txt", "bar\n")},
      // Streamed members, with and without the descriptor's signature.
      {"DescriptorsSigned",
       [] {
         return shapes::Build({Streamed("foo.txt", "foo\n", Descriptor::kSigned, 0),
                               Streamed("A.SQL", kSql, Descriptor::kSigned)});
       },
       "", Expect("foo.txt", "foo\n") + " " + Expect("A.SQL", kSql)},
      {"DescriptorsUnsigned",
       [] {
         return shapes::Build({Streamed("foo.txt", "foo\n", Descriptor::kUnsigned, 0),
                               Streamed("A.SQL", kSql, Descriptor::kUnsigned)});
       },
       "", Expect("foo.txt", "foo\n") + " " + Expect("A.SQL", kSql)},
      // With the directory cut off, the sizes come only from the descriptors.
      {"DescriptorsSignedNoDirectory",
       [] {
         Layout l;
         l.directory = false;
         return shapes::Build({Streamed("foo.txt", "foo\n", Descriptor::kSigned, 0),
                               Streamed("A.SQL", kSql, Descriptor::kSigned)},
                              l);
       },
       "", "[rebuilt] " + Expect("foo.txt", "foo\n") + " " + Expect("A.SQL", kSql)},
      {"DescriptorsUnsignedNoDirectory",
       [] {
         Layout l;
         l.directory = false;
         return shapes::Build({Streamed("foo.txt", "foo\n", Descriptor::kUnsigned, 0),
                               Streamed("bar.txt", "bar\n", Descriptor::kUnsigned, 0)},
                              l);
       },
       "", "[rebuilt] " + Expect("foo.txt", "foo\n") + " " + Expect("bar.txt", "bar\n")},
      {"Zip64DescriptorNoDirectory",
       [] {
         Layout l;
         l.directory = false;
         return shapes::Build({Streamed("A.SQL", kSql, Descriptor::kSignedZip64)}, l);
       },
       "", "[rebuilt] " + Expect("A.SQL", kSql)},
      // The last descriptor breaks off at the end of the file: the member is
      // listed but fails its checks.
      {"TruncatedDescriptor",
       [] {
         Layout l;
         l.directory = false;
         const std::string b = shapes::Build({Streamed("A.SQL", kSql, Descriptor::kSigned)}, l);
         return b.substr(0, b.size() - 6);
       },
       "", "[rebuilt] A.SQL!8"},
      // Zip64 records: the end record and locator with saturated fields, the
      // sizes and offset in the directory's extra block (and the local one).
      {"Zip64Records",
       [] {
         Member m = Plain("README", "This small file is in ZIP64 format.\n");
         m.zip64_directory = true;
         Layout l;
         l.zip64_end = true;
         return shapes::Build({m}, l);
       },
       "", Expect("README", "This small file is in ZIP64 format.\n")},
      {"Zip64RecordsAndLocalExtra",
       [] {
         Member m = Plain("README", "This small file is in ZIP64 format.\n");
         m.zip64_directory = m.zip64_local = true;
         Layout l;
         l.zip64_end = true;
         return shapes::Build({m, Streamed("A.SQL", kSql, Descriptor::kSignedZip64)}, l);
       },
       "", Expect("README", "This small file is in ZIP64 format.\n") + " " + Expect("A.SQL", kSql)},
      // Traditional encryption, the header checked against the CRC (no flag
      // bit 3) or against the DOS time (flag bit 3).
      {"ZipCryptoCrcCheck",
       [] { return shapes::Build({Encrypted(Plain("A.SQL", kSql), "foo", false)}); }, "foo",
       Expect("A.SQL", kSql)},
      {"ZipCryptoTimeCheck", [time_checked] { return shapes::Build({time_checked}); }, "foo",
       Expect("A.SQL", kSql)},
      {"ZipCryptoTimeCheckUnsigned",
       [] {
         return shapes::Build(
             {Encrypted(Streamed("foo.txt", "foo\n", Descriptor::kUnsigned, 0), "foo", true),
              Plain("plain", "foo\n", 0)});
       },
       "foo", Expect("foo.txt", "foo\n") + " " + Expect("plain", "foo\n")},
      {"ZipCryptoEmptyMember",
       [] { return shapes::Build({Encrypted(Plain("0", "", 0), "1", false)}); }, "1",
       Expect("0", "")},
      {"ZipCryptoWrongPassword",
       [time_checked] {
         return shapes::Build({time_checked, Plain("plain", "foo\n", 0)});
       },
       "notfoo", "A.SQL!91 " + Expect("plain", "foo\n")},
      // Flag bit 3 cleared while the check byte is still the time's.
      {"ZipCryptoTimeCheckWithoutBit3", [bit3_cleared] { return shapes::Build({bit3_cleared}); },
       "foo", "A.SQL!91"},
      // A password that matches the CRC's byte is still wrong for a member
      // checked against its time: refused before any data is written.
      {"ZipCryptoWrongPasswordPassingTheCrcByte",
       [time_checked] { return shapes::Build({time_checked}); },
       PasswordPassingTheCrcCheck(time_checked), "A.SQL!91"},
      // An unknown method (99 is WinZip AES) is refused, never mis-read.
      {"UnknownMethod",
       [aes] {
         return shapes::Build({Plain("plain", "plain\n", 0), aes});
       },
       "foofoofoo", Expect("plain", "plain\n") + " aes!8"},
  };
  return cases;
}

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class ShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeTest, OpensAndExtractsAsExpected) {
  const ShapeCase& c = GetParam();
  EXPECT_EQ(c.outcome, shapes::OutcomeOf(c.bytes(), c.password));
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShapeTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<ShapeCase>& info) {
                           return std::string(info.param.name);
                         });

// The same shapes as the tools write them today. A missing tool fails the
// test: scripts/packages.d lists them all.
class ToolShapeTest : public ::testing::Test {
 protected:
  ToolShapeTest() { testing::WriteFile(dir_.File("A.SQL"), kSql); }

  std::string Tool(const std::string& name) {
    const auto path = testing::FindTool(name);
    if (!path) ADD_FAILURE() << name << " is not installed (see scripts/packages.d/30-archive.txt)";
    return path.value_or(name);
  }
  // Runs a shell line in the test folder.
  void Sh(const std::string& line) {
    const auto r = testing::RunTool({"/bin/sh", "-c", "cd \"$0\" && " + line, dir_.path()});
    ASSERT_EQ(0, r.status) << line << "\n" << r.out;
  }
  std::string Bytes(const std::string& name) { return testing::ReadFile(dir_.File(name)); }
  static std::uint16_t Flags(const std::string& zip, size_t at = 0) {
    return static_cast<std::uint8_t>(zip[at + 6]) | static_cast<std::uint8_t>(zip[at + 7]) << 8;
  }
  static bool Has(const std::string& zip, const char* signature) {
    return zip.find(std::string(signature, 4)) != std::string::npos;
  }

  quilvane::testing::TempDir dir_;
};

TEST_F(ToolShapeTest, InfoZipStubInFrontWithAndWithoutAdjustedOffsets) {
  const std::string zip = Tool("zip");
  Sh(zip +
     " -q -9 a.zip A.SQL && printf 'MZ stub of a self-extractor' > sfx.zip"
     " && cat a.zip >> sfx.zip && cp sfx.zip sfx-adjusted.zip && " +
     zip + " -q -A sfx-adjusted.zip");
  EXPECT_NE(Bytes("sfx.zip"), Bytes("sfx-adjusted.zip"));
  for (const char* name : {"sfx.zip", "sfx-adjusted.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Expect("A.SQL", kSql), shapes::Outcome(dir_.File(name), ""));
  }
}

TEST_F(ToolShapeTest, InfoZipStreamedZipCryptoChecksTheTime) {
  // Streamed output: flag bit 3, a signed descriptor, the check byte taken
  // from the DOS time. Standard input as the member: zip64 local sizes.
  Sh(Tool("zip") + " -q -P secret - A.SQL > out.zip && " + Tool("zip") +
     " -q -P secret in.zip - < A.SQL");
  const std::string out = Bytes("out.zip");
  EXPECT_EQ(0x09, Flags(out) & 0x09);
  EXPECT_TRUE(Has(out, "PK\x07\x08"));
  EXPECT_EQ(Expect("A.SQL", kSql), shapes::Outcome(dir_.File("out.zip"), "secret"));
  EXPECT_EQ("A.SQL!91", shapes::Outcome(dir_.File("out.zip"), "Secret"));
  EXPECT_EQ(Expect("-", kSql), shapes::Outcome(dir_.File("in.zip"), "secret"));
}

TEST_F(ToolShapeTest, InfoZipForcedZip64) {
  Sh(Tool("zip") + " -q -fz z.zip A.SQL");
  EXPECT_TRUE(Has(Bytes("z.zip"), "PK\x06\x06"));
  EXPECT_EQ(Expect("A.SQL", kSql), shapes::Outcome(dir_.File("z.zip"), ""));
}

TEST_F(ToolShapeTest, SevenZipZipCryptoFromFileAndFromStdin) {
  // From a file the check byte is the CRC's; from standard input 7-Zip
  // streams (flag bit 3, zip64 local sizes) and checks the time.
  Sh(Tool("7z") + " a -bd -tzip -mem=ZipCrypto -psecret f.zip A.SQL >/dev/null && " + Tool("7z") +
     " a -bd -tzip -mem=ZipCrypto -psecret -siA.SQL s.zip < A.SQL >/dev/null");
  EXPECT_EQ(0x01, Flags(Bytes("f.zip")) & 0x09);
  EXPECT_EQ(0x09, Flags(Bytes("s.zip")) & 0x09);
  for (const char* name : {"f.zip", "s.zip"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Expect("A.SQL", kSql), shapes::Outcome(dir_.File(name), "secret"));
    EXPECT_EQ("A.SQL!91", shapes::Outcome(dir_.File(name), "wrong"));
  }
}

TEST_F(ToolShapeTest, PythonZipfileStreamedAndZip64) {
  // An unseekable output makes zipfile stream (bit 3, signed descriptors);
  // force_zip64 adds zip64 local sizes and an 8-byte descriptor.
  testing::WriteFile(dir_.File("make.py"),
                     "import sys, zipfile\n"
                     "data = open('A.SQL', 'rb').read()\n"
                     "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    z.writestr('A.SQL', data)\n"
                     "    with z.open('B.SQL', 'w', force_zip64=True) as f:\n"
                     "        f.write(data)\n"
                     "    z.writestr('c.txt', b'foo\\n', zipfile.ZIP_STORED)\n");
  Sh("/usr/bin/python3 make.py | cat > py.zip");
  const std::string zip = Bytes("py.zip");
  EXPECT_EQ(0x08, Flags(zip) & 0x08);
  EXPECT_TRUE(Has(zip, "PK\x07\x08"));
  const std::string expected =
      Expect("A.SQL", kSql) + " " + Expect("B.SQL", kSql) + " " + Expect("c.txt", "foo\n");
  EXPECT_EQ(expected, shapes::Outcome(dir_.File("py.zip"), ""));
  // The directory cut off: every size comes from a descriptor.
  const std::string cut = zip.substr(0, zip.find(std::string("PK\x01\x02", 4)));
  testing::WriteFile(dir_.File("cut.zip"), cut);
  EXPECT_EQ("[rebuilt] " + expected, shapes::Outcome(dir_.File("cut.zip"), ""));
}

}  // namespace
}  // namespace quilvane::archive
