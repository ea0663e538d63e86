// The service host on Linux: a daemon in the foreground run by systemd,
// installed as a systemd unit.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/main_loop.h"
#include "service/host.h"
#include "sync/module.h"
#include "sync/site_operations.h"

namespace quilvane::service {

const char kDisplayName[] = "Quilvane - Sincronizador de Preço de Produtos";
const char kServiceName[] = "SrvQuilvane";

namespace {

// Error codes of the service manager, so an operator reads the same text on
// every system.
constexpr int kErrorServiceExists = 1073;
constexpr int kErrorServiceDoesNotExist = 1060;

struct HostError {
  int code;
  std::string message;
};

std::string UnitDir() {
  const char* dir = std::getenv("QUILVANE_SYSTEMD_DIR");
  return dir && *dir ? dir : "/etc/systemd/system";
}

std::string UnitPath() { return UnitDir() + "/" + kServiceName + ".service"; }

bool SystemdRunning() {
  struct stat st {};
  return std::getenv("QUILVANE_SYSTEMD_DIR") == nullptr &&
         ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs systemctl with the arguments; returns its exit status.
int Systemctl(const char* verb, const char* unit) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (unit) {
      ::execlp("systemctl", "systemctl", verb, unit, static_cast<char*>(nullptr));
    } else {
      ::execlp("systemctl", "systemctl", verb, static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FailureText(const char* verb, const HostError& e) {
  return std::string("Service \"") + kDisplayName + "\" failed to " + verb + " with error: \"" +
         "System Error.  Code: " + std::to_string(e.code) + ".\n" + e.message + "\"";
}

std::string UnitText(const std::string& exe) {
  const std::string dir = exe.substr(0, exe.rfind('/') + 1);
  const std::string exec = exe.find(' ') != std::string::npos ? "\"" + exe + "\"" : exe;
  return std::string("[Unit]\n") + "Description=" + kDisplayName + "\n" +
         "After=network-online.target\n" + "Wants=network-online.target\n\n" + "[Service]\n" +
         "ExecStart=" + exec + "\n" + "WorkingDirectory=" + dir + "\n" + "Restart=on-failure\n" +
         "# A stop waits for the running cycle, whose steps have their own time limits.\n" +
         "TimeoutStopSec=15min\n\n" + "[Install]\n" + "WantedBy=multi-user.target\n";
}

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) throw platform::MakeSystemError("/proc/self/exe", errno);
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

int InstallService(bool silent) {
  const std::string path = UnitPath();
  HostError error{0, ""};
  try {
    if (platform::FileExists(path)) {
      error = {kErrorServiceExists, "The specified service already exists."};
    } else {
      platform::WriteFileAtomically(path, UnitText(ExecutablePath()));
      if (SystemdRunning()) {
        if (Systemctl("daemon-reload", nullptr) != 0 ||
            Systemctl("enable", (std::string(kServiceName) + ".service").c_str()) != 0) {
          platform::DeleteFile(path);
          error = {EIO, "systemctl could not enable the service."};
        }
      }
    }
  } catch (const platform::SystemError& e) {
    error = {e.code(), platform::SystemMessage(e.code())};
  }
  if (error.code != 0) {
    std::fprintf(stderr, "%s\n", FailureText("install", error).c_str());
    return 1;
  }
  if (!silent) std::printf("Service installed successfully\n");
  return 0;
}

int UninstallService(bool silent) {
  const std::string path = UnitPath();
  HostError error{0, ""};
  try {
    if (!platform::FileExists(path)) {
      error = {kErrorServiceDoesNotExist,
               "The specified service does not exist as an installed service."};
    } else {
      if (SystemdRunning()) Systemctl("disable", (std::string(kServiceName) + ".service").c_str());
      platform::DeleteFile(path);
      if (SystemdRunning()) Systemctl("daemon-reload", nullptr);
    }
  } catch (const platform::SystemError& e) {
    error = {e.code(), platform::SystemMessage(e.code())};
  }
  if (error.code != 0) {
    std::fprintf(stderr, "%s\n", FailureText("uninstall", error).c_str());
    return 1;
  }
  if (!silent) std::printf("Service uninstalled successfully\n");
  return 0;
}

int RunService(platform::Env& env) {
  // Built first: it holds the stop signals for the whole process.
  platform::MainLoop loop;
  sync::SrvQuilvane module(platform::ExecutableDir(), sync::MakeSiteOperations, env);
  module.ServiceCreate();
  module.Timer1().set_enabled(true);
  loop.Run(
      module.Timer1(), [&] { module.Timer1Timer(); },
      [](const char* what) {
        // Even the error handler could not log: the journal gets it.
        std::fprintf(stderr, "%s: %s\n", kServiceName, what);
      });
  module.Timer1().set_enabled(false);
  return 0;
}

}  // namespace quilvane::service
