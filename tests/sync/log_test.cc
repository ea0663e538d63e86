// Guards the log: its exact line format, its encodings, and that writing an
// entry never costs the lines already in the file.
#include "sync/log.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/file.h"
#include "tests/support/fake_env.h"
#include "tests/support/temp_dir.h"

namespace quilvane::sync {
namespace {

class LogTest : public ::testing::Test {
 protected:
  std::string Content() { return dir_.Read("Quilvane.log"); }

  testing::FakeEnv env_;  // 17/10/2023 14:05:09
  testing::TempDir dir_;
  Log log_{dir_.path(), env_};
};

TEST_F(LogTest, NewLogHoldsOneAnsiLine) {
  log_.DoSaveLog("N\xC3\xA3o baixou o arquivo!!!");
  EXPECT_EQ("17/10/2023 14:05:09 - N\xE3o baixou o arquivo!!!\r\n", Content());
  EXPECT_EQ(dir_.File("Quilvane.log"), log_.path());
}

TEST_F(LogTest, EntriesFollowEachOther) {
  log_.DoSaveLog("um");
  env_.SetNow(2023, 10, 17, 14, 35, 10);
  log_.DoSaveLog("dois");
  EXPECT_EQ("17/10/2023 14:05:09 - um\r\n17/10/2023 14:35:10 - dois\r\n", Content());
}

TEST_F(LogTest, RegionalSeparatorsShapeTheStamp) {
  env_.set_regional({'-', '.', ',', "dd/MM/yyyy"});
  log_.DoSaveLog("x");
  EXPECT_EQ("17-10-2023 14.05.09 - x\r\n", Content());
}

TEST_F(LogTest, MessageOfSeveralLinesIsStampedOnce) {
  log_.DoSaveLog("linha 1\nlinha 2\r\nlinha 3");
  EXPECT_EQ("17/10/2023 14:05:09 - linha 1\r\nlinha 2\r\nlinha 3\r\n", Content());
}

TEST_F(LogTest, CompletesALastLineWithoutBreak) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"no_break", "antes", "antes\r\n17/10/2023 14:05:09 - x\r\n"},
      {"lone_cr", "antes\r", "antes\r\n17/10/2023 14:05:09 - x\r\n"},
      {"lone_lf", "antes\n", "antes\n17/10/2023 14:05:09 - x\r\n"},
      {"empty_file", "", "17/10/2023 14:05:09 - x\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dir_.Write("Quilvane.log", c.before);
    log_.DoSaveLog("x");
    EXPECT_EQ(c.after, Content());
  }
}

TEST_F(LogTest, KeepsAUtf8Mark) {
  dir_.Write("Quilvane.log",
             "\xEF\xBB\xBF"
             "antes\r\n");
  log_.DoSaveLog("Falha na conex\xC3\xA3o do banco de dados: x");
  EXPECT_EQ(
      "\xEF\xBB\xBF"
      "antes\r\n17/10/2023 14:05:09 - Falha na conex\xC3\xA3o do banco de dados: x\r\n",
      Content());
}

TEST_F(LogTest, KeepsUtf16InBothOrders) {
  dir_.Write("Quilvane.log", std::string("\xFF\xFE"
                                         "a\0",
                                         4));
  log_.DoSaveLog("\xC3\xA3");
  EXPECT_EQ(std::string("\xFF\xFE"
                        "a\0\r\0\n\0",
                        8) +
                platform::Utf8ToUtf16("17/10/2023 14:05:09 - \xC3\xA3\r\n", false),
            Content());
  dir_.Write("Quilvane.log", std::string("\xFE\xFF\0a\0\r\0\n", 8));
  log_.DoSaveLog("x");
  EXPECT_EQ(std::string("\xFE\xFF\0a\0\r\0\n", 8) +
                platform::Utf8ToUtf16("17/10/2023 14:05:09 - x\r\n", true),
            Content());
}

TEST_F(LogTest, BytesThatDoNotDecodeAreKept) {
  // Earlier lines that are not valid in the log's encoding stay untouched.
  const std::string before =
      "\xEF\xBB\xBF"
      "ok\r\n\xFF\xFE\xC3 bad\r\n";
  dir_.Write("Quilvane.log", before);
  log_.DoSaveLog("x");
  EXPECT_EQ(before + "17/10/2023 14:05:09 - x\r\n", Content());
}

#ifndef _WIN32
TEST_F(LogTest, LogThatCannotBeReadStillGetsTheEntryWithTheFailureAfterIt) {
  // A log the service may append to but not read (mode 0200): the entry is
  // written all the same, and why its mark could not be read follows it.
  dir_.Write("Quilvane.log", "antes\r\n");
  const std::string path = dir_.File("Quilvane.log");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0200));
  if (::geteuid() != 0) {
    log_.DoSaveLog("N\xC3\xA3o baixou o arquivo!!!");
  } else {
    // root reads whatever the mode says: write as an ordinary account.
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0777));
    ASSERT_EQ(0, ::chown(path.c_str(), kNobody, kNobody));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(3);
      try {
        log_.DoSaveLog("N\xC3\xA3o baixou o arquivo!!!");
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
  }
  ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
  const std::string content = Content();
  const std::string entry = "antes\r\n17/10/2023 14:05:09 - N\xE3o baixou o arquivo!!!\r\n";
  ASSERT_TRUE(content.starts_with(entry)) << content;
  const std::string after = content.substr(entry.size());
  EXPECT_TRUE(after.starts_with("17/10/2023 14:05:09 - ")) << after;
  EXPECT_NE(std::string::npos, after.find(path)) << after;
  EXPECT_TRUE(after.ends_with("\r\n")) << after;
  EXPECT_EQ(1u, std::count(after.begin(), after.end(), '\n')) << after;
}
#endif

TEST_F(LogTest, UnwritableLogRaises) {
  platform::CreateDirectories(dir_.File("Quilvane.log"));  // a folder in the way
  EXPECT_THROW(log_.DoSaveLog("x"), platform::Error);
}

}  // namespace
}  // namespace quilvane::sync
