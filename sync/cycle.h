#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/main_loop.h"
#include "sync/log.h"
#include "sync/operations.h"

namespace quilvane::sync {

// One synchronisation cycle, `Timer1Timer`: the daily gate, the role
// decision, the head office's or the branch's work, and the cleanup that
// always runs and always re-arms the timer for 30 minutes.
// The cycle's cleanup, also run by the operator's switches: deletes the
// exchange file `arquivo_script` and its archive when it is named (not
// empty), closes the queries and disconnects. Every step runs even when an
// earlier one failed; the first failure is thrown once all have run.
void CleanupSite(Operations& ops, const std::string& arquivo_script);

// "N produto(s) da matriz não encontrado(s) nesta filial: A, B, …": the
// count, then at most 20 codes, then "…" when there were more.
std::string UnmatchedCodesLine(const exchange::UnmatchedCodes& unmatched);

// The log line for statements whose code is NULL or empty: the head
// office's products without a code, not something this branch lacks.
std::string NoCodeLine(int count);

class Cycle {
 public:
  static constexpr std::chrono::milliseconds kFirstInterval{10000};
  static constexpr std::chrono::milliseconds kInterval{1800000};

  // `dir` is the site's folder (the executable's), with its trailing
  // separator. All references must outlive the cycle.
  Cycle(std::string dir, Operations& ops, Log& log, platform::Timer& timer, platform::Env& env);

  // Runs one cycle under the lock beside the program (sync/instance.h).
  // When another process holds it, nothing runs: the cycle logs "Ciclo
  // adiado: " + BusyText once until a cycle runs again, re-arms the timer
  // and returns false. An error that no step caught leaves after the
  // cleanup, for the module's error handler.
  bool Timer1Timer();

  // What the lock file says this process is doing: kServiceLockOwner
  // unless told otherwise ("-ONCE").
  void set_lock_owner(std::string what) { lock_owner_ = std::move(what); }

 private:
  // What one run learnt, for the fleet view after it.
  struct Run {
    std::optional<Settings> settings;
    bool past_gate = false;
    bool branch = false;  // past the daily gate at a branch, its CGC read
    std::string cgc;
    std::optional<exchange::ImportResult> import;
  };

  void Work(std::string& arquivo_script);
  // The receipt of a branch's run (or the pending one) and the status page.
  // Never throws: nothing here changes the day's outcome.
  void PublishStatus();
  void Fleet(platform::DateTime started, std::int64_t duration_ms, std::vector<std::string> lines,
             const std::exception_ptr& escaped);

  std::string dir_;
  Operations& ops_;
  Log& log_;
  platform::Timer& timer_;
  platform::Env& env_;
  Run run_;
  // The CGC of the last run that read it: a branch whose database is down
  // still names its receipt by it.
  std::string last_cgc_;
  bool status_failure_logged_ = false;
  std::string lock_owner_;
  bool busy_logged_ = false;
};

}  // namespace quilvane::sync
