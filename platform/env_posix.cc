#include <time.h>

#include <atomic>

#include "platform/env.h"

namespace quilvane::platform {
namespace {

class PosixEnv final : public Env {
 public:
  DateTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    auto day = TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return *day + EncodeTime(local.tm_hour, local.tm_min, local.tm_sec,
                             static_cast<int>(ts.tv_nsec / 1000000));
  }

  std::chrono::system_clock::time_point UtcNow() override {
    return std::chrono::system_clock::now();
  }

  // The settings come from the locale variables of the process's
  // environment, which do not change while it runs; reading them parses
  // locale files, and every query asks.
  FormatSettings Regional() override {
    static const FormatSettings settings = SystemFormatSettings();
    return settings;
  }

  std::uint64_t PerformanceCounter() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
  }
};

std::atomic<Env*> g_override{nullptr};

}  // namespace

Env& Env::Default() {
  static PosixEnv real;
  Env* e = g_override.load();
  return e ? *e : real;
}

void Env::SetDefaultForTesting(Env* env) { g_override.store(env); }

}  // namespace quilvane::platform
