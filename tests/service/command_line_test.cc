// Guards how switches are recognised: "-" or "/", any case, anywhere.
#include "service/command_line.h"

#include <gtest/gtest.h>

namespace quilvane::service {
namespace {

TEST(CommandLine, RecognisesSwitchesAnywhere) {
  struct Case {
    std::vector<std::string> args;
    bool install, uninstall, silent;
  };
  const Case cases[] = {
      {{"/install"}, true, false, false},
      {{"-Install"}, true, false, false},
      {{"INSTALL"}, false, false, false},  // no "-" or "/": no switch
      {{"x", "-uninstall", "y", "/SILENT"}, false, true, true},
      {{"-UNINSTALL", "-install"}, true, true, false},
      {{"--install"}, false, false, false},
  };
  for (const auto& c : cases) {
    const CommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(c.install, cl.install) << c.args[0];
    EXPECT_EQ(c.uninstall, cl.uninstall) << c.args[0];
    EXPECT_EQ(c.silent, cl.silent) << c.args[0];
  }
}

TEST(CommandLine, OperatorSwitchesTakeTheirArguments) {
  const CommandLine cl = ParseCommandLine({"-unpack", "a.zip", "/tmp/out", "-once"});
  ASSERT_TRUE(cl.unpack_args.has_value());
  EXPECT_EQ((std::vector<std::string>{"a.zip", "/tmp/out"}), *cl.unpack_args);
  EXPECT_TRUE(cl.once);
  const CommandLine e = ParseCommandLine({"-EXPORT"});
  ASSERT_TRUE(e.export_args.has_value());
  EXPECT_TRUE(e.export_args->empty());
  EXPECT_EQ((std::vector<std::string>{"-bogus"}), ParseCommandLine({"-bogus"}).unknown);
  // -DRYRUN modifies -IMPORT, before or after its file; alone it is no service run.
  for (const auto& args : {std::vector<std::string>{"-import", "x.SQL", "-dryrun"},
                           std::vector<std::string>{"/DRYRUN", "-IMPORT", "x.SQL"}}) {
    const CommandLine d = ParseCommandLine(args);
    EXPECT_TRUE(d.dry_run);
    ASSERT_TRUE(d.import_args.has_value());
    EXPECT_EQ((std::vector<std::string>{"x.SQL"}), *d.import_args);
  }
  EXPECT_FALSE(RunsTheService(ParseCommandLine({"-dryrun"})));
  // -KEYGEN takes no argument; "/keygen" is a switch, not a path.
  EXPECT_TRUE(ParseCommandLine({"/keygen"}).keygen);
  EXPECT_FALSE(RunsTheService(ParseCommandLine({"-KeyGen"})));
  EXPECT_TRUE(ParseCommandLine({"/check"}).check);
  EXPECT_FALSE(RunsTheService(ParseCommandLine({"-CHECK"})));
}

TEST(CommandLine, UnknownSwitchesAreIgnoredOnlyWhenTheServiceManagerStartsTheService) {
  struct Case {
    std::vector<std::string> args;
    bool started_by_service_manager;
    bool refuses;
  };
  const Case cases[] = {
      {{"-bogus"}, false, true},  // at a terminal: the usage, exit 2
      {{"-bogus"}, true, false},  // ExecStart/ImagePath edited by hand: runs
      {{"-bogus", "/x"}, true, false},
      {{"-bogus", "-once"}, true, true},  // an operator switch: the operator's mistake
      {{"-bogus", "-EXPORT"}, true, true},
      {{"-bogus", "-install"}, true, true},
      {{"-bogus", "-KEYGEN"}, true, true},
      {{"-bogus", "/Check"}, true, true},
      {{}, false, false},
      {{"plain"}, false, false},  // a plain argument is no switch
      {{"-once"}, false, false},
  };
  for (const Case& c : cases) {
    const CommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(c.refuses, RefusesUnknownSwitches(cl, c.started_by_service_manager))
        << ::testing::PrintToString(c.args) << " manager=" << c.started_by_service_manager;
  }
}

}  // namespace
}  // namespace quilvane::service
