#include <windows.h>

#include <atomic>

#include "platform/env.h"

namespace quilvane::platform {
namespace {

class WindowsEnv final : public Env {
 public:
  DateTime Now() override {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    const auto day = TryEncodeDate(st.wYear, st.wMonth, st.wDay);
    return *day + EncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  }

  std::chrono::system_clock::time_point UtcNow() override {
    return std::chrono::system_clock::now();
  }

  FormatSettings Regional() override { return SystemFormatSettings(); }

  std::uint64_t PerformanceCounter() override {
    LARGE_INTEGER value{};
    QueryPerformanceCounter(&value);
    return static_cast<std::uint64_t>(value.QuadPart);
  }
};

std::atomic<Env*> g_override{nullptr};

}  // namespace

Env& Env::Default() {
  static WindowsEnv real;
  Env* e = g_override.load();
  return e ? *e : real;
}

void Env::SetDefaultForTesting(Env* env) { g_override.store(env); }

}  // namespace quilvane::platform
