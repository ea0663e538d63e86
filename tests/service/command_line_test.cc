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
}

}  // namespace
}  // namespace quilvane::service
