#include "tests/support/fake_env.h"

namespace quilvane::testing {

FakeEnv::FakeEnv() {
  SetNow(2023, 10, 17, 14, 5, 9);
  platform::Env::SetDefaultForTesting(this);
}

FakeEnv::~FakeEnv() { platform::Env::SetDefaultForTesting(nullptr); }

void FakeEnv::SetNow(int year, int month, int day, int hour, int minute, int second) {
  now_ = *platform::TryEncodeDate(year, month, day) + platform::EncodeTime(hour, minute, second, 0);
}

}  // namespace quilvane::testing
