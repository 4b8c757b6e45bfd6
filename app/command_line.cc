// The command line: no argument runs the agent; --help and --version print
// their text; anything else is a usage error.
#include "app/command_line.h"

#include <algorithm>

#include "app/constants.h"

namespace quarn::app {
namespace {

constexpr std::string_view kUsage = "Usage: quarn [--help | --version]\n";

// Laid out so that help2man turns it into the manual page: a usage line, a
// description paragraph, then options and sections.
std::string helpText() {
  std::string text(kUsage);
  text +=
      "The update agent of the Orvanta Forwarder. Each start checks that the forwarder's\n"
      "system extension is active, then, at most once every 24 hours, asks the update\n"
      "service for a pending update, downloads and checks the package and hands it to\n"
      "the forwarder's updater.\n"
      "\n"
      "Without an argument quarn does its work once and exits with status 0; that is how\n"
      "quarn.timer starts it (through quarn.service) 5 minutes after boot and every hour.\n"
      "It understands two arguments and refuses any other with exit status 64:\n"
      "  --help     print this help and exit\n"
      "  --version  print the version and exit\n"
      "\n"
      "Files:\n"
      "  ";
  text += kSharedItemsDatabasePath;
  text +=
      "\n"
      "             the items shared with the forwarder's other processes; UpdateLastRun\n"
      "             holds the time of the last update check\n"
      "  ";
  text += kPackagePath;
  text +=
      "\n"
      "             the downloaded package, left in place after the run\n"
      "\n"
      "Examples:\n"
      "  systemctl start --no-block quarn.service\n"
      "             start one run now without waiting for it\n"
      "  journalctl -t quarn\n"
      "             read what the runs did\n"
      "\n"
      "The update service is ";
  text += kServiceBaseUrl;
  text += " (HTTPS on port 443, through the proxy\nnamed by https_proxy if it is set).\n";
  return text;
}

}  // namespace

CommandLineDecision decideCommandLine(std::span<const std::string_view> arguments) {
  if (arguments.empty()) {
    return {.runAgent = true, .text = {}};
  }
  if (arguments.size() == 1 && arguments[0] == "--help") {
    return {.text = helpText()};
  }
  if (arguments.size() == 1 && arguments[0] == "--version") {
    return {.text = "quarn " + std::string(kVersion) + "\n"};
  }
  // Name the first argument that is not an option, or the one after an option.
  const auto isOption = [](std::string_view argument) {
    return argument == "--help" || argument == "--version";
  };
  const auto unexpected = std::ranges::find_if_not(arguments, isOption);
  const std::string_view named = unexpected != arguments.end() ? *unexpected : arguments[1];
  return {.text = "quarn: unexpected argument '" + std::string(named) + "'\n" + std::string(kUsage),
          .toStandardError = true,
          .exitStatus = kUsageExitStatus};
}

}  // namespace quarn::app
