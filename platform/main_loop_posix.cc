#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <exception>

#include "platform/main_loop.h"

namespace quilvane::platform {

void Timer::set_interval(std::chrono::milliseconds interval) {
  interval_ = interval;
  if (enabled_) due_ = Clock::now() + interval_;
}

void Timer::set_enabled(bool enabled) {
  if (enabled && !enabled_) due_ = Clock::now() + interval_;
  enabled_ = enabled;
}

namespace {
std::atomic<bool> g_stop{false};

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

MainLoop::MainLoop() {
  g_stop = false;
  // The stop signals stay blocked and are taken with sigtimedwait between
  // cycles, so no handler ever runs in the middle of one.
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

MainLoop::~MainLoop() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void MainLoop::RequestStop() { g_stop = true; }

void MainLoop::Run(Timer& timer, const std::function<void()>& on_timer,
                   const std::function<void(const char* what)>& on_error) {
  const sigset_t set = StopSignals();
  while (!g_stop) {
    // Wake at least once a second so RequestStop() from another thread is seen.
    auto wait = std::chrono::milliseconds(1000);
    if (timer.enabled()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(timer.due() - Timer::Clock::now());
      if (left <= std::chrono::milliseconds::zero()) {
        try {
          on_timer();
        } catch (const std::exception& e) {
          on_error(e.what());
        } catch (...) {
          on_error("unknown error");
        }
        // A window timer keeps firing while enabled.
        if (timer.enabled() && timer.due() <= Timer::Clock::now()) {
          timer.set_enabled(false);
          timer.set_enabled(true);
        }
        continue;
      }
      if (left < wait) wait = left;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(wait.count() / 1000);
    ts.tv_nsec = static_cast<long>(wait.count() % 1000) * 1000000L;
    const int sig = sigtimedwait(&set, nullptr, &ts);
    if (sig == SIGTERM || sig == SIGINT) g_stop = true;
  }
}

}  // namespace quilvane::platform
