// The main loop on Windows: the thread's message queue. Timer is a thread
// timer (SetTimer without a window), so its WM_TIMER reaches the thread that
// enabled it, which is always the main thread.
#include <windows.h>

#include <atomic>
#include <exception>
#include <memory>

#include "platform/error.h"
#include "platform/main_loop.h"
#include "platform/main_loop_windows.h"

namespace quilvane::platform {
namespace {

constexpr UINT kRunTask = WM_APP + 1;

std::atomic<DWORD> g_loop_thread{0};

std::uintptr_t Arm(std::uintptr_t id, std::chrono::milliseconds interval) {
  auto ms = interval.count();
  if (ms < USER_TIMER_MINIMUM) ms = USER_TIMER_MINIMUM;
  if (ms > USER_TIMER_MAXIMUM) ms = USER_TIMER_MAXIMUM;
  const UINT_PTR got = SetTimer(nullptr, id, static_cast<UINT>(ms), nullptr);
  if (got == 0) throw Error("Not enough timers available");
  return got;
}

void RunGuarded(const std::function<void()>& fn,
                const std::function<void(const char* what)>& on_error) {
  try {
    fn();
  } catch (const std::exception& e) {
    on_error(e.what());
  } catch (...) {
    on_error("unknown error");
  }
}

}  // namespace

void Timer::set_interval(std::chrono::milliseconds interval) {
  interval_ = interval;
  if (enabled_) {
    native_id_ = Arm(native_id_, interval_);
    due_ = Clock::now() + interval_;
  }
}

void Timer::set_enabled(bool enabled) {
  if (enabled && !enabled_) {
    native_id_ = Arm(native_id_, interval_);
    due_ = Clock::now() + interval_;
  } else if (!enabled && enabled_) {
    KillTimer(nullptr, native_id_);
    native_id_ = 0;
  }
  enabled_ = enabled;
}

MainLoop::MainLoop() {
  // Creates the thread's message queue now, so posts made before Run()
  // are kept.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  g_loop_thread = GetCurrentThreadId();
}

MainLoop::~MainLoop() {
  // Tasks still queued are dropped with the loop.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, kRunTask, kRunTask, PM_REMOVE)) {
    delete reinterpret_cast<std::function<void()>*>(msg.lParam);
  }
  g_loop_thread = 0;
}

void MainLoop::RequestStop() {
  const DWORD thread = g_loop_thread;
  if (thread != 0) PostThreadMessageW(thread, WM_QUIT, 0, 0);
}

void MainLoop::Run(Timer& timer, const std::function<void()>& on_timer,
                   const std::function<void(const char* what)>& on_error) {
  MSG msg;
  while (true) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) break;  // WM_QUIT
    if (got == -1) {
      on_error(SystemMessage(static_cast<int>(GetLastError())).c_str());
      break;
    }
    if (msg.hwnd == nullptr && msg.message == WM_TIMER) {
      if (timer.enabled() && msg.wParam == timer.native_id_) RunGuarded(on_timer, on_error);
      continue;
    }
    if (msg.hwnd == nullptr && msg.message == kRunTask) {
      std::unique_ptr<std::function<void()>> task(
          reinterpret_cast<std::function<void()>*>(msg.lParam));
      if (task) RunGuarded(*task, on_error);
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool PostToMainLoop(std::function<void()> task) {
  const DWORD thread = g_loop_thread;
  if (thread == 0) return false;
  auto* heap = new std::function<void()>(std::move(task));
  if (!PostThreadMessageW(thread, kRunTask, 0, reinterpret_cast<LPARAM>(heap))) {
    delete heap;
    return false;
  }
  return true;
}

}  // namespace quilvane::platform
