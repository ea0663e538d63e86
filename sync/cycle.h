#pragma once

#include <string>

#include "platform/env.h"
#include "platform/main_loop.h"
#include "sync/log.h"
#include "sync/operations.h"

namespace quilvane::sync {

// One synchronisation cycle, `Timer1Timer`: the daily gate, the role
// decision, the head office's or the branch's work, and the cleanup that
// always runs and always re-arms the timer for 30 minutes.
class Cycle {
 public:
  static constexpr std::chrono::milliseconds kFirstInterval{10000};
  static constexpr std::chrono::milliseconds kInterval{1800000};

  // `dir` is the site's folder (the executable's), with its trailing
  // separator. All references must outlive the cycle.
  Cycle(std::string dir, Operations& ops, Log& log, platform::Timer& timer, platform::Env& env);

  // Runs one cycle. An error that no step caught leaves after the cleanup,
  // for the module's error handler.
  void Timer1Timer();

 private:
  void Work(std::string& arquivo_script);
  void Cleanup(const std::string& arquivo_script);

  std::string dir_;
  Operations& ops_;
  Log& log_;
  platform::Timer& timer_;
  platform::Env& env_;
};

}  // namespace quilvane::sync
