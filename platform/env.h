#pragma once

#include <chrono>
#include <cstdint>

#include "platform/datetime.h"
#include "platform/regional.h"

namespace quilvane::platform {

// What tests must be able to steer: the clock, the regional settings and the
// high-resolution counter that seeds the archive's random bytes.
class Env {
 public:
  virtual ~Env() = default;

  // The process's environment; a test may replace it for its own duration.
  static Env& Default();
  static void SetDefaultForTesting(Env* env);  // nullptr restores the real one

  // Local date and time.
  virtual DateTime Now() = 0;
  // The same moment in UTC; the difference between the two is the local
  // offset (platform::UtcOffsetMinutes).
  virtual std::chrono::system_clock::time_point UtcNow() = 0;
  virtual FormatSettings Regional() = 0;
  virtual std::uint64_t PerformanceCounter() = 0;
};

}  // namespace quilvane::platform
