#pragma once

#include <cstdint>

#include "platform/env.h"

namespace quilvane::testing {

// A settable clock, fixed regional settings and a fixed counter. Installs
// itself as Env::Default() for its lifetime.
class FakeEnv : public platform::Env {
 public:
  FakeEnv();
  ~FakeEnv() override;

  platform::DateTime Now() override { return now_; }
  platform::FormatSettings Regional() override { return regional_; }
  std::uint64_t PerformanceCounter() override { return counter_; }

  // Sets the clock to a calendar date and time.
  void SetNow(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);
  void set_now(platform::DateTime now) { now_ = now; }
  void set_regional(const platform::FormatSettings& fs) { regional_ = fs; }
  void set_counter(std::uint64_t c) { counter_ = c; }

 private:
  platform::DateTime now_ = 0;
  platform::FormatSettings regional_;
  std::uint64_t counter_ = 0x123456789ABCDEFull;
};

}  // namespace quilvane::testing
