// Guards interoperability with the tools a site or the exchange server may
// use: Info-ZIP, 7-Zip and Python's zipfile read our archives, and we read
// theirs. A missing tool fails the test: CI installs all of them.
#include <gtest/gtest.h>

#include "archive/compactar.h"
#include "platform/file.h"
#include "tests/archive/archive_test_util.h"
#include "tests/support/temp_dir.h"

namespace quilvane::archive {
namespace {

using testing::ReadFile;
using testing::RunTool;
using testing::WriteFile;

constexpr char kMember[] = "12345678000199.SQL";

class InteropTest : public ::testing::Test {
 protected:
  InteropTest() {
    content_ = testing::ExchangeText(5000);  // over one 512 KiB block
    WriteFile(dir_.File(kMember), content_);
    platform::CreateDirectories(dir_.File("out"));
  }

  std::string Tool(const std::string& name) {
    const auto path = testing::FindTool(name);
    if (!path) ADD_FAILURE() << name << " is not installed (see scripts/packages.d/30-archive.txt)";
    return path.value_or(name);
  }

  std::string PackOurs() {
    EXPECT_NO_THROW(Pack(dir_.File(kMember), platform::Env::Default()));
    return dir_.File("12345678000199.ZIP");
  }

  // Our unpacking of a foreign archive holding the exchange file.
  void ExpectWeExtract(const std::string& zip, const std::string& member = kMember) {
    ASSERT_NO_THROW(Unpack(zip, dir_.File("out/")));
    EXPECT_TRUE(content_ == ReadFile(dir_.File("out/") + member));
  }

  quilvane::testing::TempDir dir_;
  std::string content_;
};

TEST_F(InteropTest, InfoZipUnzipReadsOurs) {
  const std::string zip = PackOurs();
  const auto list = RunTool({Tool("unzip"), "-Z1", zip});
  EXPECT_EQ(0, list.status);
  EXPECT_EQ(std::string(kMember) + "\n", list.out);
  const auto out = RunTool({Tool("unzip"), "-P", kArchivePassword, "-p", zip, kMember});
  EXPECT_EQ(0, out.status);
  EXPECT_TRUE(content_ == out.out);
  const auto test = RunTool({Tool("unzip"), "-t", "-P", kArchivePassword, zip});
  EXPECT_EQ(0, test.status) << test.out;
}

TEST_F(InteropTest, SevenZipReadsOurs) {
  const std::string zip = PackOurs();
  const auto out = RunTool({Tool("7z"), "x", std::string("-p") + kArchivePassword, "-so", zip});
  EXPECT_EQ(0, out.status);
  EXPECT_TRUE(content_ == out.out);
}

TEST_F(InteropTest, PythonZipfileReadsOurs) {
  const std::string zip = PackOurs();
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "assert z.namelist() == [sys.argv[2]], z.namelist()\n"
      "sys.stdout.buffer.write(z.read(sys.argv[2], pwd=sys.argv[3].encode()))\n";
  WriteFile(dir_.File("read.py"), script);
  const auto out =
      RunTool({"/usr/bin/python3", dir_.File("read.py"), zip, kMember, kArchivePassword});
  EXPECT_EQ(0, out.status);
  EXPECT_TRUE(content_ == out.out);
}

TEST_F(InteropTest, WeReadInfoZipDeflatedAndStored) {
  for (const char* level : {"-1", "-9", "-0"}) {
    SCOPED_TRACE(level);
    const std::string zip = dir_.File(std::string("infozip") + level + ".zip");
    const auto r =
        RunTool({Tool("zip"), "-q", "-j", level, "-P", kArchivePassword, zip, dir_.File(kMember)});
    ASSERT_EQ(0, r.status);
    ExpectWeExtract(zip);
  }
}

TEST_F(InteropTest, WeReadInfoZipStreamedFromStdin) {
  // Streaming sets flag bit 3: the password check uses the DOS time, and
  // the sizes come from the data descriptor and the directory.
  const std::string zip = dir_.File("streamed.zip");
  const auto r = RunTool({"/bin/sh", "-c", std::string("\"$0\" -q -P \"$1\" - - < \"$2\" > \"$3\""),
                          Tool("zip"), kArchivePassword, dir_.File(kMember), zip});
  ASSERT_EQ(0, r.status);
  const std::string bytes = ReadFile(zip);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(0x08, bytes[6] & 0x08) << "flag bit 3 expected";
  ExpectWeExtract(zip, "-");

  // A cut directory forces the rebuild, which must find the data descriptor.
  const size_t cd = bytes.rfind(std::string("PK\x01\x02", 4));
  WriteFile(dir_.File("streamed-cut.zip"), bytes.substr(0, cd + 10));
  platform::DeleteFile(dir_.File("out/-"));
  ExpectWeExtract(dir_.File("streamed-cut.zip"), "-");
}

TEST_F(InteropTest, WeReadSevenZipZipCrypto) {
  for (const char* level : {"-mx1", "-mx0"}) {
    SCOPED_TRACE(level);
    const std::string zip = dir_.File(std::string("7z") + level + ".zip");
    const auto r = RunTool({Tool("7z"), "a", "-tzip", level, "-mem=ZipCrypto",
                            std::string("-p") + kArchivePassword, zip, dir_.File(kMember)});
    ASSERT_EQ(0, r.status) << r.out;
    ExpectWeExtract(zip);
  }
}

}  // namespace
}  // namespace quilvane::archive
