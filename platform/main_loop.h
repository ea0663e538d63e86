#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quilvane::platform {

// The cycle timer. Like a window timer: it fires every interval while
// enabled, and enabling it (or changing its interval while enabled) starts
// the count again. Used only on the main thread.
class Timer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Timer(std::chrono::milliseconds interval) : interval_(interval) {}

  std::chrono::milliseconds interval() const { return interval_; }
  void set_interval(std::chrono::milliseconds interval);
  bool enabled() const { return enabled_; }
  void set_enabled(bool enabled);

  // When the timer fires next; meaningful only while enabled.
  Clock::time_point due() const { return due_; }

 private:
  friend class MainLoop;

  std::chrono::milliseconds interval_;
  bool enabled_ = false;
  Clock::time_point due_{};
  // The system's id of the timer where the system keeps it (Windows).
  std::uintptr_t native_id_ = 0;
};

// The main loop: waits for the timer, runs `on_timer` when it fires, and
// ends when a stop is requested (SIGTERM or SIGINT on POSIX). A stop that
// arrives while `on_timer` runs takes effect after it returns: a cycle is
// never interrupted. SIGHUP is ignored.
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Runs until a stop request. Errors escaping `on_timer` go to `on_error`
  // and the loop goes on.
  void Run(Timer& timer, const std::function<void()>& on_timer,
           const std::function<void(const char* what)>& on_error);

  // Asks the loop to end (from a signal, another thread or on_timer).
  void RequestStop();
};

}  // namespace quilvane::platform
