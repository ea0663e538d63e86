// Guards the head office's notice of a red branch: one line when it turns
// red, one when it is green again, nothing at the ticks between, also
// across a restart; a damaged state file costs a line and a repeat, never a
// silence.
#include "sync/red_branches.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/sync/status_fixture.h"

namespace quilvane::sync {
namespace {

using testing_fleet::Branch;
using testing_fleet::Fleet;
using testing_fleet::kPublished;

class Lines final : public platform::Logger {
 public:
  void DoSaveLog(std::string_view message) override { lines.emplace_back(message); }
  std::vector<std::string> Take() { return std::exchange(lines, {}); }
  std::vector<std::string> lines;
};

BranchReport Named(const std::string& cgc, std::optional<int> behind, const std::string& name) {
  BranchReport report = Branch(cgc, behind);
  report.parsed.receipt->name = name;
  return report;
}

class RedBranchesTest : public ::testing::Test {
 protected:
  std::vector<std::string> Tick(const FleetStatus& status) {
    watch_.Note(status);
    return log_.Take();
  }
  testing::TempDir dir_;
  Lines log_;
  RedBranchWatch watch_{dir_.path(), log_};
};

TEST_F(RedBranchesTest, RedAndGreenAreLoggedOnceEachAcrossTicksAndARestart) {
  const FleetStatus red =
      Fleet({Named("11.111.111/0001-11", 3, "Loja <Centro>"),
             Branch("22.222.222/0001-22", std::nullopt), Branch("33.333.333/0001-33", 0)});
  // Worst first, as on the page.
  EXPECT_EQ((std::vector<std::string>{"Filial 22.222.222/0001-22 nunca sincronizou",
                                      "Filial Loja <Centro> sem sincronizar desde 14/10/2023"}),
            Tick(red));
  for (int tick = 0; tick < 20; ++tick) EXPECT_EQ(std::vector<std::string>{}, Tick(red));

  {  // The service restarts: the file remembers who is red.
    Lines log;
    RedBranchWatch restarted(dir_.path(), log);
    restarted.Note(red);
    EXPECT_EQ(std::vector<std::string>{}, log.lines);
  }

  // One day behind (amber) is no longer red but not green yet: nothing.
  const FleetStatus amber =
      Fleet({Named("11.111.111/0001-11", 1, "Loja <Centro>"),
             Branch("22.222.222/0001-22", std::nullopt), Branch("33.333.333/0001-33", 0)});
  EXPECT_EQ(std::vector<std::string>{}, Tick(amber));
  const FleetStatus green =
      Fleet({Named("11.111.111/0001-11", 0, "Loja <Centro>"),
             Branch("22.222.222/0001-22", std::nullopt), Branch("33.333.333/0001-33", 0)});
  EXPECT_EQ(std::vector<std::string>{"Filial Loja <Centro> sincronizada de novo em 17/10/2023"},
            Tick(green));
  for (int tick = 0; tick < 5; ++tick) EXPECT_EQ(std::vector<std::string>{}, Tick(green));
  EXPECT_EQ(std::vector<std::string>{"Filial Loja <Centro> sem sincronizar desde 14/10/2023"},
            Tick(red));
}

// A receipt in another branch's name, or an unreadable one, says nothing
// about a branch: no line, and the real branch's state stands.
TEST_F(RedBranchesTest, ForeignAndUnreadableReceiptsChangeNothing) {
  BranchReport forged = Branch("11.111.111/0001-11", 0);
  forged.file_name = "22222222000122.txt";
  EXPECT_EQ(std::vector<std::string>{"Filial 22.222.222/0001-22 sem sincronizar desde 12/10/2023"},
            Tick(Fleet({Branch("22.222.222/0001-22", 5)})));
  EXPECT_EQ(std::vector<std::string>{}, Tick(Fleet({forged})));
  EXPECT_EQ(std::vector<std::string>{},
            Tick(Fleet({testing_fleet::Unreadable("22222222000122.txt")})));
  EXPECT_EQ(
      std::vector<std::string>{"Filial 22.222.222/0001-22 sincronizada de novo em 17/10/2023"},
      Tick(Fleet({Branch("22.222.222/0001-22", 0)})));
}

// A receipt removed from the server forgets its branch, unless the reading
// was cut short by the limit (the receipt may only not have been read).
TEST_F(RedBranchesTest, RemovedReceiptIsForgottenOnlyAfterACompleteReading) {
  const FleetStatus red = Fleet({Branch("22.222.222/0001-22", 5)});
  EXPECT_EQ(1u, Tick(red).size());
  FleetStatus partial = Fleet({});
  partial.unread_receipts = 3;
  EXPECT_EQ(std::vector<std::string>{}, Tick(partial));
  EXPECT_EQ(std::vector<std::string>{}, Tick(red));
  EXPECT_EQ(std::vector<std::string>{}, Tick(Fleet({})));
  EXPECT_EQ(1u, Tick(red).size());
}

TEST_F(RedBranchesTest, DamagedStateFileIsLoggedAndEveryRedBranchReportedAgain) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"garbage", "22222222000122\r\n<html>\r\n"},
      {"path", "../../etc/passwd\r\n"},
      {"too big", std::string((1 << 20) + 1, '1')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    dir.Write(kRedBranchesName, c.bytes);
    Lines log;
    RedBranchWatch watch(dir.path(), log);
    watch.Note(Fleet({Branch("22.222.222/0001-22", 5)}));
    ASSERT_EQ(2u, log.lines.size());
    EXPECT_EQ(0u, log.lines[0].rfind("Lista de filiais em vermelho ilegível, refeita (", 0))
        << log.lines[0];
    EXPECT_EQ("Filial 22.222.222/0001-22 sem sincronizar desde 12/10/2023", log.lines[1]);
    EXPECT_EQ("22222222000122\r\n", dir.Read(kRedBranchesName)) << "written afresh";
  }
}

// A state that cannot be written is said once; the branch is still not
// logged again at the next tick.
TEST_F(RedBranchesTest, UnwritableStateIsLoggedOnce) {
  testing::TempDir dir;
  ::mkdir(dir.File(kRedBranchesName).c_str(), 0755);  // a folder where the file goes
  Lines log;
  {
    RedBranchWatch watch(dir.path(), log);
    for (int tick = 0; tick < 3; ++tick) watch.Note(Fleet({Branch("22.222.222/0001-22", 5)}));
  }
  ASSERT_EQ(2u, log.lines.size()) << ::testing::PrintToString(log.lines);
  EXPECT_EQ("Filial 22.222.222/0001-22 sem sincronizar desde 12/10/2023", log.lines[0]);
  EXPECT_EQ(0u, log.lines[1].rfind("Falha ao gravar a lista de filiais em vermelho: ", 0))
      << log.lines[1];
}

}  // namespace
}  // namespace quilvane::sync
