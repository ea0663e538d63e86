// Guards interoperability with archives written by other tools (Go, libzip,
// CPython test data): each opens, extracts or fails as expected.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/zip_archiver.h"
#include "platform/file.h"
#include "tests/archive/archive_test_util.h"
#include "tests/archive/shapes.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

using shapes::Outcome;

// The corpus is not part of the repository: its folder comes from
// QUILVANE_CORPUS_DIR (.ci/run sets it when the corpus is there). Without it
// these cases skip (shapes_test.cc builds the shapes that matter); a corpus
// that is given but lacks a file fails.
std::string CorpusDir() {
  const char* dir = std::getenv("QUILVANE_CORPUS_DIR");
  return dir ? dir : "";
}

std::string CorpusFile(const std::string& file) {
  const std::string dir = CorpusDir();
  if (dir.empty() || !platform::FileExists(dir + "/README.md")) return std::string();
  return dir + "/" + file;
}

std::string NoCorpus() {
  return "external ZIP corpus not found (QUILVANE_CORPUS_DIR='" + CorpusDir() +
         "'); shapes_test builds its shapes";
}

struct CorpusCase {
  const char* file;
  const char* password;
  const char* outcome;
};

constexpr char kTest[] = "test.txt=c3edd7c0/26 gophercolor16x16.png=54d531fe/785";
constexpr char kRebuiltTest[] = "[rebuilt] test.txt=c3edd7c0/26 gophercolor16x16.png=54d531fe/785";

constexpr CorpusCase kCases[] = {
    // Go archive/zip test data.
    {"zip-go/test.zip", "", kTest},
    {"zip-go/test-trailing-junk.zip", "", kTest},
    {"zip-go/test-prefix.zip", "", kTest},
    // A wrong directory size misplaces the directory: rebuilt from the
    // local headers, with the same content.
    {"zip-go/test-baddirsz.zip", "", kRebuiltTest},
    {"zip-go/test-badbase.zip", "", kRebuiltTest},
    {"zip-go/readme.zip", "", "README=82080ae0/1096"},
    {"zip-go/readme.notzip", "", "[rebuilt] README=82080ae0/1096"},
    {"zip-go/dd.zip", "", "filename=a2e3d6d3/25"},
    {"zip-go/go-no-datadesc-sig.zip", "", "foo.txt=7e3265a8/4 bar.txt=04a2b3e9/4"},
    {"zip-go/go-with-datadesc-sig.zip", "", "foo.txt=7e3265a8/4 bar.txt=04a2b3e9/4"},
    {"zip-go/crc32-not-streamed.zip", "", "foo.txt=7e3265a8/4 bar.txt=04a2b3e9/4"},
    {"zip-go/symlink.zip", "", "symlink=8e9efad1/9"},
    {"zip-go/winxp.zip", "", "hello=7d13fc8d/8 dir/bar=7a7e9b9e/6 dir/empty/ readonly=ba6e115a/12"},
    {"zip-go/unix.zip", "", "hello=7d13fc8d/8 dir/bar=7a7e9b9e/6 dir/empty/ readonly=ba6e115a/12"},
    {"zip-go/subdir.zip", "", "a/ a/b/ a/b/c=00000000/0"},
    {"zip-go/dupdir.zip", "", "a/ a/b=00000000/0 a/b/ a/b/c!19"},
    {"zip-go/zip64.zip", "", "README=69ffe77e/36"},
    {"zip-go/zip64-2.zip", "", "README=69ffe77e/36"},
    {"zip-go/utf8-7zip.zip", "", "\xe4\xb8\x96\xe7\x95\x8c=00000000/0"},
    {"zip-go/utf8-infozip.zip", "", "\xe4\xb8\x96\xe7\x95\x8c=00000000/0"},
    {"zip-go/utf8-winrar.zip", "", "\xe4\xb8\x96\xe7\x95\x8c=00000000/0"},
    {"zip-go/utf8-winzip.zip", "", "\xe4\xb8\x96\xe7\x95\x8c=00000000/0"},
    {"zip-go/utf8-osx.zip", "", "\xe4\xb8\x96\xe7\x95\x8c=00000000/0"},
    {"zip-go/time-7zip.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-infozip.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-osx.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-win7.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-winrar.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-winzip.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-go.zip", "", "test.txt=00000000/0"},
    {"zip-go/time-22738.zip", "", "file=00000000/0"},
    // The last end record's comment runs past the file; the hidden one
    // before it describes a member that fails its checks.
    {"zip-go/comment-truncated.zip", "", "file!8"},
    {"zip-go/inline/bad-crc32-in-datadesc.zip", "", "foo.txt!8 bar.txt=04a2b3e9/4"},
    {"zip-go/inline/crc32-not-streamed-corrupt.zip", "", "foo.txt!8 bar.txt=04a2b3e9/4"},
    {"zip-go/inline/r.zip", "", "r/r.zip=6489f4f9/440"},
    // Names that would leave the folder (or hold control characters) fail.
    {"zip-go/inline/cve-2021-27919-dotdot.zip", "", "../test.txt!90"},
    {"zip-go/inline/cve-2021-33196-huge-count.zip", "", "[rebuilt] !90"},
    {"zip-go/inline/cve-2021-39293-dirsize-overflow.zip", "", "open failed 35"},
    {"zip-go/inline/issue10956-malformed.zip", "", "open failed 35"},
    {"zip-go/inline/issue10957-short-length.zip", "", "open failed 35"},
    {"zip-go/inline/issue11146-truncated-datadesc.zip", "", "open failed 35"},
    {"zip-go/inline/issue12449-not-zip64.zip", "",
     "\xe2\x95\xa9"
     "dU=b077881d/7"},
    // Traditional encryption from libzip and CPython.
    {"zip-crypto/libzip-encrypt.zip", "foo", "encrypted=7e3265a8/4 plain=7e3265a8/4"},
    {"zip-crypto/libzip-encrypt.zip", "notfoo", "encrypted!91 plain=7e3265a8/4"},
    {"zip-crypto/libzip-encrypt-1234.zip", "1234", "sample.txt=1c63b05b/282"},
    // "sample" decrypts to the CRC's high byte, but with flag bit 3 the check
    // byte is the DOS time's: rejected before any data is written.
    {"zip-crypto/libzip-encrypt-1234.zip", "sample", "sample.txt!91"},
    {"zip-crypto/libzip-empty-pkware.zip", "1", "0=00000000/0"},
    {"zip-crypto/libzip-encrypt-none.zip", "", "plain=3915f9d0/6 encrypted=fb8c5e55/10"},
    {"zip-crypto/libzip-encrypt-pkware-noentropy.zip", "no-entropy",
     "plain=3915f9d0/6 encrypted=fb8c5e55/10"},
    {"zip-crypto/libzip-encrypt-pkware-noentropy-2.zip", "no-entropy",
     "plain=3915f9d0/6 encrypted=fb8c5e55/10"},
    {"zip-crypto/libzip-encrypt_plus_extra.zip", "foo", "encrypted=7e3265a8/4 plain=7e3265a8/4"},
    // Flag bit 3 cleared while the check byte is still the time's.
    {"zip-crypto/libzip-encrypt_plus_extra_modified_c.zip", "foo", "encrypted!91 plain=7e3265a8/4"},
    {"zip-crypto/libzip-encrypt_plus_extra_modified_l.zip", "foo", "encrypted!91 plain=7e3265a8/4"},
    // WinZip AES (method 99) is refused, never mis-decrypted.
    {"zip-crypto/libzip-encrypt-aes128.zip", "foofoofoo", "plain=3915f9d0/6 encrypted!8"},
    {"zip-crypto/cpython-python.zip", "python", "test.txt=3fef7923/26"},
    {"zip-crypto/cpython-python.zip", "perl", "test.txt!91"},
    {"zip-crypto/cpython-12345-zero.zip", "12345", "zero=b2aa7578/512"},
    {"zip-cpython/stored-bad-crc.zip", "", "afile!8"},
    {"zip-cpython/deflate-bad-crc.zip", "", "afile!8"},
};

void PrintTo(const CorpusCase& c, std::ostream* os) { *os << c.file; }

class CorpusTest : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(CorpusTest, OpensAndExtractsAsExpected) {
  const CorpusCase& c = GetParam();
  const std::string path = CorpusFile(c.file);
  if (path.empty()) GTEST_SKIP() << NoCorpus();
  ASSERT_TRUE(platform::FileExists(path)) << path << " is missing from the corpus";
  EXPECT_EQ(c.outcome, Outcome(path, c.password));
}

TEST(CorpusRebuildTest, FindsDataDescriptorsWithAndWithoutSignature) {
  // With the directory cut off, the sizes of streamed members come only from
  // their data descriptors.
  if (CorpusFile("zip-go/dd.zip").empty()) GTEST_SKIP() << NoCorpus();
  for (const char* file :
       {"zip-go/go-with-datadesc-sig.zip", "zip-go/go-no-datadesc-sig.zip", "zip-go/dd.zip"}) {
    SCOPED_TRACE(file);
    const std::string bytes = testing::ReadFile(CorpusFile(file));
    const size_t cd = bytes.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(std::string::npos, cd);
    quilvane::testing::TempDir dir;
    testing::WriteFile(dir.File("cut.zip"), bytes.substr(0, cd + 5));
    const std::string expected = std::string(file) == "zip-go/dd.zip"
                                     ? "[rebuilt] filename=a2e3d6d3/25"
                                     : "[rebuilt] foo.txt=7e3265a8/4 bar.txt=04a2b3e9/4";
    EXPECT_EQ(expected, Outcome(dir.File("cut.zip"), ""));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CorpusCase>& info) {
                           std::string name =
                               std::string(info.param.file) + "_" + info.param.password;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace quilvane::archive
