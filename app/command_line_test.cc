// The command-line decision: the launchers' empty command line runs the agent,
// --help and --version print and succeed, everything else is a usage error.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/constants.h"

namespace quarn::app {
namespace {

// A decision as "[run ]<exit status> <stream>: <text>".
std::string decided(std::vector<std::string_view> arguments) {
  const CommandLineDecision decision = decideCommandLine(arguments);
  return (decision.runAgent ? "run " : "") + std::to_string(decision.exitStatus) +
         (decision.toStandardError ? " err: " : " out: ") + decision.text;
}

TEST(CommandLineTest, DecidesFromTheArguments) {
  const std::string usage = "Usage: quarn [--help | --version]\n";
  const auto unexpected = [&](const std::string& argument) {
    return "64 err: quarn: unexpected argument '" + argument + "'\n" + usage;
  };
  EXPECT_EQ(decided({}), "run 0 out: ");
  EXPECT_EQ(decided({"--version"}), "0 out: quarn " + std::string(kVersion) + "\n");
  EXPECT_TRUE(decided({"--help"}).starts_with("0 out: " + usage));
  EXPECT_EQ(decided({"--Help"}), unexpected("--Help"));
  EXPECT_EQ(decided({"--help", "--version"}), unexpected("--version"));
  EXPECT_EQ(decided({"--version", "now"}), unexpected("now"));
}

}  // namespace
}  // namespace quarn::app
