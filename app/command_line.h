// What the command line asks of the binary. The launchers start quarn with no
// argument, which runs the agent; an operator may ask for --help or --version,
// which only print a text. Neither of those builds the agent, so they write no
// log, open no store and make no request. Anything else is a usage error.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace quarn::app {

// The exit status of a command line that cannot be understood (sysexits'
// EX_USAGE).
inline constexpr int kUsageExitStatus = 64;

struct CommandLineDecision {
  // True when the agent does its work: nothing is printed.
  bool runAgent = false;
  // Otherwise: the text to print, where, and the status to exit with.
  std::string text;
  bool toStandardError = false;
  int exitStatus = 0;
};

// Decides from the arguments after the program name.
[[nodiscard]] CommandLineDecision decideCommandLine(std::span<const std::string_view> arguments);

}  // namespace quarn::app
