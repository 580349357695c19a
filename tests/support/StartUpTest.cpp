#include "support/StartUp.h"

#include <gtest/gtest.h>

#include "support/Settings.h"
#include "support/TextDevs.h"

namespace {

struct TSwitchCase {
  std::vector<std::string> Args;
  bool Debug;
  bool Limit;
};

class ParseCommandLineTable : public testing::TestWithParam<TSwitchCase> {};

TEST_P(ParseCommandLineTable, SetsTheFlags) {
  DebugMode = false;
  GlobalSettings.DumpLimit = 0;
  ParseCommandLine(GetParam().Args);
  EXPECT_EQ(DebugMode.load(), GetParam().Debug);
  EXPECT_EQ(GlobalSettings.DumpLimit != 0, GetParam().Limit);
  DebugMode = false;
  GlobalSettings.DumpLimit = 0;
}

INSTANTIATE_TEST_SUITE_P(
    StartUp, ParseCommandLineTable,
    testing::Values(TSwitchCase{{}, false, false}, TSwitchCase{{"-D"}, true, false},
                    TSwitchCase{{"-d"}, true, false}, TSwitchCase{{"-s"}, false, true},
                    TSwitchCase{{"-D", "-S"}, true, true}, TSwitchCase{{"-DS"}, true, false},
                    TSwitchCase{{"-Debug"}, true, false}, TSwitchCase{{"/D"}, false, false},
                    TSwitchCase{{"D"}, false, false}, TSwitchCase{{"--D"}, false, false},
                    TSwitchCase{{"-"}, false, false}, TSwitchCase{{"--report", "--seconds", "5"}, false, false},
                    TSwitchCase{{"-x", "-S", "-S"}, false, true}));

}  // namespace

namespace {

TEST(StartUp, TheToolkitsOptionsAndTheirValuesAreNotOurs) {
  using V = std::vector<std::string>;
  EXPECT_EQ(WithoutToolkitOptions({"-display", ":0", "-D"}), (V{"-D"}));
  EXPECT_EQ(WithoutToolkitOptions({"-session", "1234_5", "-sync", "-S"}), (V{"-S"}));
  EXPECT_EQ(WithoutToolkitOptions({"-style", "fusion", "-stylesheet=x.qss", "--platform", "offscreen"}), V{});
  EXPECT_EQ(WithoutToolkitOptions({"--start", "10.0.0.2", "--quit-after", "5", "-d"}),
            (V{"--start", "10.0.0.2", "--quit-after", "5", "-d"}));
  // A value-taking option at the end has nothing more to take.
  EXPECT_EQ(WithoutToolkitOptions({"-D", "-style"}), (V{"-D"}));
  // Only whole option names count: "-styles" and "-sessionX" are not the toolkit's.
  EXPECT_EQ(WithoutToolkitOptions({"-styles", "-sessionX"}), (V{"-styles", "-sessionX"}));
}

}  // namespace
