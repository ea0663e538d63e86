// How -CHECK tells when a trigger of PRODUTOS fires, from RDB$TRIGGER_TYPE.
#include "sync/site_check_triggers.h"

#include <gtest/gtest.h>

namespace quilvane::sync {
namespace {

TEST(TriggerWhenTest, DecodesOneAndSeveralActions) {
  struct Case {
    std::int64_t type;
    const char* when;
  } const cases[] = {
      {1, "antes de inserir"},
      {2, "depois de inserir"},
      {3, "antes de alterar"},
      {4, "depois de alterar"},
      {5, "antes de apagar"},
      {6, "depois de apagar"},
      {17, "antes de inserir ou alterar"},
      {18, "depois de inserir ou alterar"},
      {25, "antes de inserir ou apagar"},
      {27, "antes de alterar ou apagar"},
      {113, "antes de inserir ou alterar ou apagar"},
      {114, "depois de inserir ou alterar ou apagar"},
      // Not a table trigger's (database and DDL triggers, damage).
      {0, ""},
      {-1, ""},
      {8192, ""},
      {16385, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TriggerWhen(c.type), c.when) << c.type;
}

}  // namespace
}  // namespace quilvane::sync
