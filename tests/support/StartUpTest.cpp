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
