#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/env.h"

namespace quilvane::testing {

// A settable clock, fixed regional settings and a fixed counter. Installs
// itself as Env::Default() for its lifetime. Its UTC clock reads the local
// one (offset 0) until set apart.
class FakeEnv : public platform::Env {
 public:
  FakeEnv();
  ~FakeEnv() override;

  platform::DateTime Now() override { return now_; }
  std::chrono::system_clock::time_point UtcNow() override {
    return utc_now_ ? *utc_now_ : platform::TimePointOf(now_);
  }
  platform::FormatSettings Regional() override { return regional_; }
  std::uint64_t PerformanceCounter() override { return counter_; }

  // Sets the clock to a calendar date and time.
  void SetNow(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);
  void set_now(platform::DateTime now) { now_ = now; }
  void set_utc_now(std::chrono::system_clock::time_point utc) { utc_now_ = utc; }
  void set_regional(const platform::FormatSettings& fs) { regional_ = fs; }
  void set_counter(std::uint64_t c) { counter_ = c; }

 private:
  platform::DateTime now_ = 0;
  std::optional<std::chrono::system_clock::time_point> utc_now_;
  platform::FormatSettings regional_;
  std::uint64_t counter_ = 0x123456789ABCDEFull;
};

}  // namespace quilvane::testing
