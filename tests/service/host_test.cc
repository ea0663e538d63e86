// Guards the program as an operator and systemd run it: -ONCE, the daemon's
// stop on SIGTERM, unknown switches, and the unit's installation and removal.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/file.h"
#include "tests/support/temp_dir.h"

namespace quilvane::service {
namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// A copy of the program in its own folder, since it works beside itself.
class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() {
    exe_ = site_.File("quilvane");
    std::filesystem::copy_file(QUILVANE_BINARY, exe_);
    std::filesystem::permissions(exe_, std::filesystem::perms::owner_all);
  }

  // Runs the program as an operator would, never as systemd's service (a
  // test run inside a unit inherits its INVOCATION_ID).
  Result Run(const std::string& args, const std::string& env = "") {
    const std::string out = scratch_.File("out"), err = scratch_.File("err");
    const std::string cmd = "cd / && env -u INVOCATION_ID " + env + " '" + exe_ + "' " + args +
                            " >" + out + " 2>" + err;
    const int rc = std::system(cmd.c_str());
    return {WEXITSTATUS(rc), scratch_.Read("out"), scratch_.Read("err")};
  }

  testing::TempDir site_;
  testing::TempDir scratch_;
  std::string exe_;
};

TEST_F(ProgramTest, OnceWithoutSettingsDoesNothing) {
  const Result r = Run("-ONCE");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(platform::FileExists(site_.File("Quilvane.log")));
}

TEST_F(ProgramTest, OnceReportsAnEscapedError) {
  // A due branch cycle whose settings cannot be recorded... here the
  // connection itself fails, which is logged but is no escaped error.
  site_.Write("Quilvane.ini", "[Quilvane]\r\nCNPJServidor=12.345.678/0001-90\r\n");
  site_.Write("tolmarc.ini", "[Tolmarc]\r\nServidor=\r\nCaminho=\r\n");
  const Result r = Run("-once");
  EXPECT_EQ(0, r.status) << r.err;
  const std::string log = site_.Read("Quilvane.log");
  EXPECT_NE(std::string::npos, log.find(" - Falha na conex\xE3o do banco de dados: ")) << log;
}

TEST_F(ProgramTest, HelpVersionAndUnknownSwitch) {
  EXPECT_EQ(0, Run("-help").status);
  EXPECT_NE(std::string::npos, Run("/VERSION").out.find("quilvane "));
  const Result r = Run("-bogus");
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Unknown switch: -bogus"));
}

// Starts the program with `arg`, standard input a fresh terminal or
// /dev/null, and systemd's INVOCATION_ID set, as the service manager sets
// it; its standard error goes to `err`.
pid_t StartAsService(const std::string& exe, const char* arg, bool terminal,
                     const std::string& err) {
  int input = -1;
  if (terminal) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return -1;
    input = ::open(::ptsname(master), O_RDWR | O_NOCTTY);  // the master stays open
  } else {
    input = ::open("/dev/null", O_RDONLY);
  }
  const int error = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (input < 0 || error < 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input, STDIN_FILENO);
    ::dup2(error, STDERR_FILENO);
    ::setenv("INVOCATION_ID", "0123456789abcdef0123456789abcdef", 1);
    ::execl(exe.c_str(), exe.c_str(), arg, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(input);
  ::close(error);
  return pid;
}

TEST_F(ProgramTest, UnknownSwitchIsIgnoredWhenSystemdStartsTheService) {
  const pid_t pid = StartAsService(exe_, "-bogus", /*terminal=*/false, scratch_.File("err"));
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int status = 0;
  EXPECT_EQ(0, waitpid(pid, &status, WNOHANG)) << "the service did not keep running";
  ASSERT_EQ(0, kill(pid, SIGTERM));
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("", scratch_.Read("err"));
}

TEST_F(ProgramTest, UnknownSwitchAtATerminalStillGetsTheUsage) {
  // A shell inside a unit inherits its INVOCATION_ID: the terminal decides.
  const pid_t pid = StartAsService(exe_, "-bogus", /*terminal=*/true, scratch_.File("err"));
  ASSERT_GT(pid, 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 100 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the program ran as the service instead of printing the usage";
  }
  ASSERT_EQ(pid, done);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(2, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, scratch_.Read("err").find("Unknown switch: -bogus"));
}

TEST_F(ProgramTest, InstallAndUninstallTheUnit) {
  testing::TempDir units;
  const std::string env = "QUILVANE_SYSTEMD_DIR='" + units.path() + "'";
  const std::string unit = units.File("SrvQuilvane.service");

  Result r = Run("-install", env);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Service installed successfully\n", r.out);
  const std::string text = units.Read("SrvQuilvane.service");
  EXPECT_NE(std::string::npos,
            text.find("Description=Quilvane - Sincronizador de Pre\xC3\xA7o de Produtos\n"));
  EXPECT_NE(std::string::npos, text.find("ExecStart=" + exe_ + "\n"));
  EXPECT_NE(std::string::npos, text.find("WorkingDirectory=" + site_.path() + "\n"));
  EXPECT_NE(std::string::npos, text.find("Restart=on-failure\n"));
  EXPECT_NE(std::string::npos, text.find("WantedBy=multi-user.target\n"));

  r = Run("/INSTALL /silent", env);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(
      "Service \"Quilvane - Sincronizador de Pre\xC3\xA7o de Produtos\" failed to install with "
      "error: "
      "\"System Error.  Code: 1073.\nThe specified service already exists.\"\n",
      r.err);

  r = Run("-uninstall -silent", env);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_FALSE(platform::FileExists(unit));

  r = Run("-uninstall", env);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("failed to uninstall with error: \"System Error.  Code: 1060.\n"));
}

TEST_F(ProgramTest, ExecStartIsQuotedWhenThePathHasASpace) {
  testing::TempDir units;
  const std::string spaced = site_.path() + "Program Files/";
  std::filesystem::create_directories(spaced);
  std::filesystem::rename(exe_, spaced + "quilvane");
  exe_ = spaced + "quilvane";
  EXPECT_EQ(0, Run("-install -silent", "QUILVANE_SYSTEMD_DIR='" + units.path() + "'").status);
  EXPECT_NE(std::string::npos,
            units.Read("SrvQuilvane.service").find("ExecStart=\"" + exe_ + "\"\n"));
}

// Whether /proc shows `pid` ignoring SIGHUP within ten seconds. The daemon
// ignores it right after it holds SIGTERM for its main loop (the mask itself
// cannot be watched: the loop's wait lifts it while it waits).
bool WaitForSignalSetUp(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigIgn:", 0) == 0 &&
          (std::stoull(line.substr(7), nullptr, 16) >> (SIGHUP - 1) & 1) != 0) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST_F(ProgramTest, DaemonStopsOnSigtermWithinASecond) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(exe_.c_str(), exe_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // A loaded machine (or a sanitizer build) may take longer than any fixed
  // pause to reach the main loop: wait until SIGHUP is ignored and SIGTERM
  // is held for the loop, as the kernel shows them.
  if (!WaitForSignalSetUp(pid)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    FAIL() << "the daemon never set up its signals";
  }
  kill(pid, SIGHUP);  // ignored, as the end of a user's logon is
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, kill(pid, SIGTERM));
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_LT(took, std::chrono::seconds(1));
}

}  // namespace
}  // namespace quilvane::service
