// Guards the names a site's files go by: sites of every version, the
// exchange server and the operators' scripts find them byte for byte, so a
// name changed by a slip loses a site's settings, its log or its key.
#include "sync/site_files.h"

#include <gtest/gtest.h>

namespace quilvane::sync {
namespace {

TEST(SiteFiles, EveryPathIsItsNameInTheSiteFolder) {
  struct Case {
    std::string path;
    const char* expected;
  } const cases[] = {
      {SettingsPath("/q/"), "/q/Quilvane.ini"},
      {LogPath("/q/"), "/q/Quilvane.log"},
      {KeyFilePath("/q/"), "/q/Quilvane.key"},
      {PendingReceiptPath("/q/"), "/q/Quilvane.recibo"},
      {LockFilePath("/q/"), "/q/Quilvane.lock"},
      {DatabaseSettingsPath("/q/"), "/q/tolmarc.ini"},
      {ChangesFolderPath("/q/"), "/q/Alteracoes"},
      {ChangesFolderPath("/q"), "/q/Alteracoes"},
      {std::string("/q/") + kReceiptCacheName, "/q/Quilvane.recibos"},
      {std::string("/q/") + kRedBranchesName, "/q/Quilvane.vermelhas"},
      {std::string("/q/") + kStatusPageName, "/q/status.html"},
      {std::string("/q/") + kDefaultDatabaseName, "/q/TOLMARC.FDB"},
      {SettingsPath(""), "Quilvane.ini"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.path);
}

TEST(SiteFiles, ExchangeFileAndArchiveAreNamedByTheHeadOfficesDigits) {
  EXPECT_EQ("/site/12345678000190.SQL", ExchangeFilePath("/site/", "12.345.678/0001-90"));
  EXPECT_EQ("12345678000190.SQL", ExchangeFilePath("", "12.345.678/0001-90"));
  EXPECT_EQ("12345678000190.SQL", ExchangeFileName("12345678000190"));
  EXPECT_EQ("/site/.SQL", ExchangeFilePath("/site/", "-"));
  EXPECT_EQ("12345678000190.ZIP", ArchiveName("12.345.678/0001-90"));
  EXPECT_EQ(".ZIP", ArchiveName(""));
}

}  // namespace
}  // namespace quilvane::sync
