#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/main_loop.h"
#include "sync/cycle.h"
#include "sync/log.h"
#include "sync/operations.h"

namespace quilvane::sync {

// The service module: owns the cycle timer `Timer1`, the log and the
// operations (with the database connection and the network clients they
// keep), for the life of the process. Used on the main thread only.
class SrvQuilvane {
 public:
  using OperationsFactory = std::function<std::unique_ptr<Operations>(
      const std::string& dir, Log& log, platform::Env& env)>;

  // `dir`: the site's folder (the executable's), trailing separator included.
  // `make_ops` builds the operations once the module's log exists. `env`
  // gives the clock and regional settings to the log, the cycle and the
  // operations.
  SrvQuilvane(std::string dir, const OperationsFactory& make_ops, platform::Env& env);

  // Runs once when the module has been created: makes ManipulaExcecoes the
  // handler of every error that escapes a cycle.
  void ServiceCreate();

  // The cycle, run when Timer1 fires. Errors that escape it go to the
  // handler, so this only throws when the handler itself cannot log.
  void Timer1Timer();

  // Logs an escaped error's message alone.
  void ManipulaExcecoes(const std::exception& e);

  // Runs one cycle; false when an error escaped it (logged) or when another
  // process held the lock and the cycle did not run (logged once).
  bool RunOnce();

  // What the lock file says this process is doing (default "serviço").
  void set_lock_owner(std::string what) { cycle_.set_lock_owner(std::move(what)); }

  void DoSaveLog(const std::string& msg) { log_.DoSaveLog(msg); }

  platform::Timer& Timer1() { return timer1_; }
  Log& log() { return log_; }
  Operations& operations() { return *ops_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  platform::Env& env_;
  Log log_;
  std::unique_ptr<Operations> ops_;
  platform::Timer timer1_{Cycle::kFirstInterval};
  Cycle cycle_;
  bool handler_installed_ = false;
};

}  // namespace quilvane::sync
