// Guards the cycle's end: whatever escapes or fails (a step, the cleanup, the
// settings file), the cycle logs what an operator can act on, leaves no
// exchange file behind and re-arms its timer.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/sync/cycle_fixture.h"

namespace quilvane::sync {
namespace {

TEST_F(CycleTest, EscapedErrorIsLoggedAloneAfterCleanup) {
  Configure("");
  ops_->cgc = "outra";
  ops_->import_throws = true;
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - File not found\r\n", LogText());
  EXPECT_EQ("Disconnect", ops_->calls.back());
  ExpectNoExchangeFiles();
  ExpectRearmed();
}

TEST_F(CycleTest, BrokenSettingsStillRearmAndDisconnect) {
  platform::CreateDirectories(dir_.File("Quilvane.ini"));  // unreadable: a folder
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_EQ("Disconnect", ops_->calls.back());
  ExpectRearmed();
}

TEST_F(CycleTest, FailingCleanupStepStillRearms) {
  Configure("");
  ops_->cgc = "outra";
  ops_->disconnect_throws = true;
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - connection lost at disconnect\r\n", LogText());
  ExpectNoExchangeFiles();
  ExpectRearmed();
}

TEST_F(CycleTest, FailingCleanupAfterEscapedErrorLogsBoth) {
  Configure("");
  ops_->cgc = "outra";
  ops_->import_throws = true;
  ops_->disconnect_throws = true;
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ(
      "17/10/2023 14:05:09 - connection lost at disconnect\r\n"
      "17/10/2023 14:05:09 - File not found\r\n",
      LogText());
  ExpectRearmed();
}

TEST_F(CycleTest, SettingsWriteFailureEscapes) {
  Configure("16/10/2023");
  platform::SetFileAttributes(dir_.File("Quilvane.ini"), platform::kAttrReadOnly);
  EXPECT_FALSE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - Unable to write to " + dir_.File("Quilvane.ini") + "\r\n",
            LogText());
  EXPECT_EQ("16/10/2023", LastSync());
  ExpectNoExchangeFiles();
}

TEST_F(CycleTest, UndecodableSettingsAreReportedAndLeftWhole) {
  // UTF-16LE with a high surrogate that has no pair.
  std::string body = "\xFF\xFE";
  for (char c : std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n") body += {c, '\0'};
  body += std::string("\x00\xD8", 2);
  WriteSettings(body);
  ops_->cgc = kCnpj;
  EXPECT_TRUE(module_->RunOnce());
  EXPECT_EQ("17/10/2023 14:05:09 - Unable to read " + dir_.File("Quilvane.ini") +
                ": No mapping for the Unicode character exists in the target multi-byte code "
                "page\r\n",
            LogText());
  EXPECT_FALSE(Ran("ExportPrices"));
  EXPECT_EQ(body, dir_.Read("Quilvane.ini"));
  ExpectRearmed();
}

// As root, settings linked into a folder every user may write are another
// user's to swap (for a link to a file of the system, which the day's write
// would then replace): the cycle says so and does nothing.
TEST_F(CycleTest, SettingsLinkedIntoAFolderOthersCanWriteAreRefusedAsRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "the rule holds for root only";
  std::filesystem::create_directory(dir_.File("shared"));
  ASSERT_EQ(0, ::chmod(dir_.File("shared").c_str(), 0777));
  const std::string body = std::string("[Quilvane]\r\nCNPJServidor=") + kCnpj + "\r\n";
  dir_.Write("shared/Quilvane.ini", body);
  ASSERT_EQ(0,
            ::symlink(dir_.File("shared/Quilvane.ini").c_str(), dir_.File("Quilvane.ini").c_str()));
  ops_->cgc = kCnpj;
  EXPECT_TRUE(module_->RunOnce());
  const std::string link = dir_.File("Quilvane.ini");
  EXPECT_EQ("17/10/2023 14:05:09 - Unable to read " + link + ": " + link + " leads to " +
                dir_.File("shared/Quilvane.ini") +
                ", and users other than its owner and root can write to " + dir_.File("shared") +
                ": refused while running as root\r\n",
            LogText());
  EXPECT_FALSE(Ran("ConectarBanco"));
  EXPECT_EQ(body, dir_.Read("shared/Quilvane.ini"));
  ExpectRearmed();
}

TEST_F(CycleTest, StaleExchangeFilesOfEarlierRunsAreRemoved) {
  Configure("");
  ops_->cgc = "outra";
  ops_->download_ok = false;
  dir_.Write("12345678000190.ZIP", "stale");
  EXPECT_TRUE(module_->RunOnce());
  ExpectNoExchangeFiles();
}
}  // namespace
}  // namespace quilvane::sync
