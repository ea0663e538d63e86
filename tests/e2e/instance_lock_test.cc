// Guards the operator's side of the lock beside the program: while another
// process holds it, every switch that writes refuses with exit 1 and names
// the holder (its process id and what it is doing), touching nothing.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace quilvane::e2e {
namespace {

TEST(InstanceLockSwitches, EveryWritingSwitchRefusesWhileAnotherHoldsTheLock) {
  testing::TempDir dir;
  std::filesystem::copy_file(QUILVANE_BINARY, dir.File("quilvane"));
  dir.Write("Quilvane.ini", "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\n");
  dir.Write("12345678000190.SQL", "17/10/2023\r\n");
  const std::string ini = dir.Read("Quilvane.ini");
  const auto lock = platform::InstanceLock::TryTake(dir.File("Quilvane.lock"), "serviço");
  ASSERT_TRUE(lock.has_value());
  const std::string holder = "Quilvane já em execução (processo " +
                             std::to_string(platform::CurrentProcessId()) + ", serviço)";

  const char* const kSwitches[] = {
      "-ONCE",
      "-IMPORT 12345678000190.SQL",
      "-IMPORT 12345678000190.SQL -DRYRUN",
      "-EXPORT",
      "-PACK 12345678000190.SQL",
      "-UNPACK 12345678000190.ZIP",
      "-KEYGEN",
      "-STATUS",
  };
  for (const char* args : kSwitches) {
    SCOPED_TRACE(args);
    const std::string out = dir.File("out.txt");
    const int rc = std::system(
        ("cd '" + dir.path() + "' && ./quilvane " + args + " >'" + out + "' 2>&1 </dev/null")
            .c_str());
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(1, WEXITSTATUS(rc));
    const std::string text = platform::ReadFileToString(out);
    EXPECT_NE(std::string::npos, text.find(holder)) << text;
    platform::DeleteFile(out);
  }
  // Nothing was written beside the program: no key, no archive, no page,
  // the settings and the exchange file as they were.
  EXPECT_FALSE(platform::FileExists(dir.File("Quilvane.key")));
  EXPECT_FALSE(platform::FileExists(dir.File("12345678000190.ZIP")));
  EXPECT_FALSE(platform::FileExists(dir.File("status.html")));
  EXPECT_EQ(ini, dir.Read("Quilvane.ini"));
  EXPECT_EQ("17/10/2023\r\n", dir.Read("12345678000190.SQL"));
}

}  // namespace
}  // namespace quilvane::e2e
