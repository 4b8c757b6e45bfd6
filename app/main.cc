// The agent's process entry. Without arguments it runs the agent, which reads
// no environment and no configuration file; --help and --version only print.

#include <cstdio>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/composition.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const quarn::app::CommandLineDecision decision = quarn::app::decideCommandLine(arguments);
  if (decision.runAgent) {
    const quarn::app::Constants constants = quarn::app::shippedConstants();
    return quarn::app::run(constants, quarn::app::systemPlatform(constants));
  }
  std::FILE* stream = decision.toStandardError ? stderr : stdout;
  // A text that could not be written (a closed or full output) is a failure
  // (sysexits' EX_IOERR), not a silent success.
  if (std::fputs(decision.text.c_str(), stream) < 0 || std::fflush(stream) != 0) {
    return 74;
  }
  return decision.exitStatus;
}
