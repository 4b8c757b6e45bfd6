// FakeProcessLauncher: a ProcessLauncher whose children are scripted, for
// tests of the logic above the process layer.
//
// Every launch is recorded as it was asked for (launch path, arguments, pipes,
// output descriptor, time limit). What a child does is taken from the first script whose
// text occurs in its command line (the launch path and the arguments joined by
// spaces); a child no script names exits 0 without output. A child has ended
// by the time launch() returns: the output observer has seen its output one
// byte at a time, the two streams taking turns (so every text is split across
// reads), its pipes give the whole output, and the termination handler, if
// any, has run.
//
// Not thread-safe.
#pragma once

#include <algorithm>
#include <optional>

#include "platform/process.h"

namespace quarn::testing {

class FakeProcessLauncher final : public platform::ProcessLauncher {
 public:
  struct Child {
    int status = 0;
    std::string out = "";
    std::string err = "";
    bool readFails = false;      // reading either pipe fails
    bool killedAtLimit = false;  // status 137, both pipes end with the limit's error
    std::optional<platform::Error> launchError = std::nullopt;  // the child cannot start
  };

  void script(std::string commandText, Child child) {
    scripts_.emplace_back(std::move(commandText), std::move(child));
  }
  const std::vector<platform::ProcessSpec>& launches() const { return launches_; }

  platform::Expected<std::shared_ptr<platform::Process>> launch(
      platform::ProcessSpec command, TerminationHandler onTermination = {}) override {
    launches_.push_back(command);
    std::string line = command.launchPath;
    for (const auto& argument : command.arguments) line += " " + argument;
    const auto found = std::ranges::find_if(
        scripts_, [&](const auto& script) { return line.find(script.first) != std::string::npos; });
    Child child = found == scripts_.end() ? Child() : found->second;
    if (child.launchError) return *child.launchError;
    using enum platform::OutputStream;
    const std::size_t longest = std::max(child.out.size(), child.err.size());
    for (std::size_t at = 0; command.outputObserver && at < longest; ++at) {
      if (command.pipeStandardOutput && at < child.out.size())
        command.outputObserver(standardOutput, child.out.substr(at, 1));
      if (command.pipeStandardError && at < child.err.size())
        command.outputObserver(standardError, child.err.substr(at, 1));
    }
    auto process = std::make_shared<Process>(std::move(command), std::move(child));
    if (onTermination) std::move(onTermination)(*process);
    return std::shared_ptr<platform::Process>(std::move(process));
  }

 private:
  struct Stream final : platform::Pipe {
    explicit Stream(platform::Expected<std::string> bytes) : bytes(std::move(bytes)) {}
    platform::Expected<std::string> readToEnd() override { return bytes; }
    const platform::Expected<std::string> bytes;
  };

  struct Process final : platform::Process {
    Process(platform::ProcessSpec command, Child child)
        : command(std::move(command)), child(std::move(child)) {}
    const std::string& launchPath() const override { return command.launchPath; }
    const std::vector<std::string>& arguments() const override { return command.arguments; }
    platform::Pipe* standardOutput() override {
      return command.pipeStandardOutput ? &out : nullptr;
    }
    platform::Pipe* standardError() override { return command.pipeStandardError ? &err : nullptr; }
    int waitUntilExit() override { return child.killedAtLimit ? 128 + 9 : child.status; }
    platform::Expected<std::string> read(const std::string& bytes) const {
      if (child.killedAtLimit) return platform::timeLimitError(command.timeLimit.value_or(0));
      if (child.readFails) return platform::Error{"POSIXError", 5, "Input/output error"};
      return bytes;
    }
    const platform::ProcessSpec command;
    const Child child;
    Stream out{read(child.out)}, err{read(child.err)};
  };

  std::vector<std::pair<std::string, Child>> scripts_;
  std::vector<platform::ProcessSpec> launches_;
};

}  // namespace quarn::testing
