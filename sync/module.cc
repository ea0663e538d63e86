#include "sync/module.h"

namespace quilvane::sync {

SrvQuilvane::SrvQuilvane(std::string dir, const OperationsFactory& make_ops, platform::Env& env)
    : dir_(std::move(dir)),
      env_(env),
      log_(dir_, env_),
      ops_(make_ops(dir_, log_, env_)),
      cycle_(dir_, *ops_, log_, timer1_, env_) {}

void SrvQuilvane::ServiceCreate() { handler_installed_ = true; }

void SrvQuilvane::ManipulaExcecoes(const std::exception& e) { log_.DoSaveLog(e.what()); }

void SrvQuilvane::Timer1Timer() { RunOnce(); }

bool SrvQuilvane::RunOnce() {
  try {
    return cycle_.Timer1Timer();
  } catch (const std::exception& e) {
    if (!handler_installed_) throw;
    ManipulaExcecoes(e);
    return false;
  }
}

}  // namespace quilvane::sync
