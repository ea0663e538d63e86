// The reconnection policy repeats a step once after a lost connection and
// never more: a second loss gives the attachment up, any other error goes
// through, and a recovery that refuses stops the step.
#include "db/reconnection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quilvane::db {
namespace {

constexpr std::int64_t kNetworkError = 335544721;

enum class Outcome { kOk, kLost, kOther };

struct Case {
  const char* name;
  std::vector<Outcome> runs;  // what each run of the step does
  bool recover_throws;
  std::string want;  // the calls made, then the error that came out
};

const Case kCases[] = {
    {"success", {Outcome::kOk}, false, "step"},
    {"other_error", {Outcome::kOther}, false, "step, threw other"},
    {"lost_then_success", {Outcome::kLost, Outcome::kOk}, false, "step, recover, step"},
    {"lost_recovery_refused", {Outcome::kLost}, true, "step, recover, threw refused"},
    {"lost_twice",
     {Outcome::kLost, Outcome::kLost},
     false,
     "step, recover, step, abandon, threw abandoned"},
    {"lost_then_other",
     {Outcome::kLost, Outcome::kOther},
     false,
     "step, recover, step, threw other"},
};

TEST(ReconnectionTest, RepeatsAStepOnceAfterALostConnection) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string calls;
    auto note = [&](const char* what) { calls += calls.empty() ? what : std::string(", ") + what; };
    std::size_t run = 0;
    auto step = [&] {
      note("step");
      switch (c.runs.at(run++)) {
        case Outcome::kOk:
          return;
        case Outcome::kLost:
          throw DbError("lost", kNetworkError);
        case Outcome::kOther:
          throw DbError("other", 335544569);
      }
    };
    auto recover = [&](const DbError& e) {
      EXPECT_TRUE(e.lost_connection());
      note("recover");
      if (c.recover_throws) throw DbError("refused", kNetworkError);
    };
    auto abandon = [&](const DbError& e) {
      EXPECT_EQ(std::string(e.what()), "lost");
      note("abandon");
      throw DbError("abandoned", kNetworkError);
    };
    try {
      RunWithReconnection(step, recover, abandon);
    } catch (const DbError& e) {
      note((std::string("threw ") + e.what()).c_str());
    }
    EXPECT_EQ(calls, c.want);
  }
}

}  // namespace
}  // namespace quilvane::db
