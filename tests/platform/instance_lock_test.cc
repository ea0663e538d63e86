// Guards the lock that keeps the service's cycle and the operator's
// switches apart: a second taker is refused and told who holds it, a killed
// holder leaves nothing stale, a planted link is never followed, and a
// damaged lock file never names a made-up holder.
#include "platform/instance_lock.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace quilvane::platform {
namespace {

TEST(InstanceLockTest, SecondTakerIsRefusedAndToldWhoHoldsIt) {
  testing::TempDir dir;
  const std::string path = dir.File("Quilvane.lock");
  {
    std::optional<InstanceLock> first = InstanceLock::TryTake(path, "-IMPORT");
    ASSERT_TRUE(first.has_value());
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);

    EXPECT_FALSE(InstanceLock::TryTake(path, "serviço").has_value());
    const std::optional<LockHolder> holder = ReadLockHolder(path);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(CurrentProcessId(), holder->pid);
    EXPECT_EQ("-IMPORT", holder->what);
    // The refused taker left the holder's words alone.
    EXPECT_TRUE(ReadLockHolder(path).has_value());

    // Moving the lock keeps it held.
    InstanceLock moved = std::move(*first);
    first.reset();
    EXPECT_FALSE(InstanceLock::TryTake(path, "serviço").has_value());
  }
  // Released: the file stays, naming nobody, and the next one takes it.
  EXPECT_TRUE(FileExists(path));
  EXPECT_FALSE(ReadLockHolder(path).has_value());
  const std::optional<InstanceLock> next = InstanceLock::TryTake(path, "serviço");
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ("serviço", ReadLockHolder(path)->what);
}

TEST(InstanceLockTest, AKilledHolderLeavesNoStaleLock) {
  testing::TempDir dir;
  const std::string path = dir.File("Quilvane.lock");
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    const auto lock = InstanceLock::TryTake(path, "-ONCE");
    const char byte = lock ? '1' : '0';
    [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  ::close(ready[0]);
  ASSERT_EQ('1', byte);

  EXPECT_FALSE(InstanceLock::TryTake(path, "serviço").has_value());
  const std::optional<LockHolder> holder = ReadLockHolder(path);
  ASSERT_TRUE(holder.has_value());
  EXPECT_EQ(static_cast<unsigned long>(child), holder->pid);
  EXPECT_EQ("-ONCE", holder->what);

  ASSERT_EQ(0, ::kill(child, SIGKILL));
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  // The system dropped the dead holder's lock; its words are still in the
  // file until the next holder writes its own.
  const std::optional<InstanceLock> after = InstanceLock::TryTake(path, "serviço");
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(CurrentProcessId(), ReadLockHolder(path)->pid);
}

TEST(InstanceLockTest, APlantedLinkIsNeverFollowed) {
  testing::TempDir dir;
  dir.Write("shadow", "secret\n");
  const std::string path = dir.File("Quilvane.lock");
  std::filesystem::create_symlink(dir.File("shadow"), path);
  EXPECT_THROW(InstanceLock::TryTake(path, "serviço"), SystemError);
  EXPECT_EQ("secret\n", dir.Read("shadow"));
}

TEST(InstanceLockTest, LockFileContentIsParsedWithBounds) {
  struct Good {
    const char* content;
    unsigned long pid;
    const char* what;
  };
  constexpr Good kGood[] = {
      {"1234 -IMPORT\n", 1234, "-IMPORT"},
      {"7 servi\xC3\xA7o\r\n", 7, "servi\xC3\xA7o"},
      {"4294967295 -ONCE\n", 4294967295ul, "-ONCE"},
  };
  for (const Good& c : kGood) {
    SCOPED_TRACE(c.content);
    const std::optional<LockHolder> h = ParseLockHolder(c.content);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(c.pid, h->pid);
    EXPECT_EQ(c.what, h->what);
    EXPECT_EQ(c.what, ParseLockHolder(FormatLockHolder(*h))->what);
  }
  EXPECT_EQ("1234 -IMPORT\n", FormatLockHolder({1234, "-IMPORT"}));

  const std::string long_what = "1 " + std::string(65, 'x') + "\n";
  const std::string bad[] = {
      "",                          // free
      "1234 -IMPORT",              // cut while written
      "-IMPORT\n",                 // no pid
      " -IMPORT\n",                // empty pid
      "0 -IMPORT\n",               // no such process
      "4294967296 -IMPORT\n",      // past 32 bits
      "99999999999999999999 x\n",  // past any integer
      "12a4 -IMPORT\n",            // not a number
      "+12 -IMPORT\n",             // a sign
      "1234 \n",                   // nothing said
      "1234 -IM\x01PORT\n",        // a control character
      long_what,                   // longer than it is ever written
      std::string(200, '9'),       // garbage
  };
  for (const std::string& c : bad) {
    SCOPED_TRACE(c);
    EXPECT_FALSE(ParseLockHolder(c).has_value());
  }
}

}  // namespace
}  // namespace quilvane::platform
