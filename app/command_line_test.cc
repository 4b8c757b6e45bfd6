// The command-line decision: the launchers' empty command line runs the agent,
// --help and --version print and succeed, everything else is a usage error.
#include "app/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/constants.h"

namespace quarn::app {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(CommandLineTest, DecidesFromTheArguments) {
  const std::string usage = "Usage: quarn [--help | --version]\n";
  const std::string version = "quarn " + std::string(kVersion) + "\n";
  const auto unexpected = [&](std::string_view argument) {
    return "quarn: unexpected argument '" + std::string(argument) + "'\n" + usage;
  };
  struct Case {
    std::vector<std::string_view> arguments;
    bool runAgent;
    ::testing::Matcher<std::string> text;
    bool toStandardError;
    int exitStatus;
  };
  const Case cases[] = {
      {{}, true, "", false, 0},
      {{"--version"}, false, version, false, 0},
      {{"--help"},
       false,
       AllOf(StartsWith(usage), HasSubstr(std::string(kSharedItemsDatabasePath)),
             HasSubstr("quarn.timer"), HasSubstr(std::string(kServiceBaseUrl))),
       false,
       0},
      {{""}, false, unexpected(""), true, 64},
      {{"-h"}, false, unexpected("-h"), true, 64},
      {{"--Help"}, false, unexpected("--Help"), true, 64},
      {{"--version=1"}, false, unexpected("--version=1"), true, 64},
      {{"update"}, false, unexpected("update"), true, 64},
      {{"--help", "--version"}, false, unexpected("--version"), true, 64},
      {{"--version", "now"}, false, unexpected("now"), true, 64},
      {{"now", "--help"}, false, unexpected("now"), true, 64},
  };
  for (const Case& expected : cases) {
    SCOPED_TRACE(::testing::PrintToString(expected.arguments));
    const CommandLineDecision decision = decideCommandLine(expected.arguments);
    EXPECT_EQ(decision.runAgent, expected.runAgent);
    EXPECT_THAT(decision.text, expected.text);
    EXPECT_EQ(decision.toStandardError, expected.toStandardError);
    EXPECT_EQ(decision.exitStatus, expected.exitStatus);
  }
}

}  // namespace
}  // namespace quarn::app
