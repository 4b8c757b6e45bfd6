// Package signature validation: the system's package tool checks the
// downloaded installer package, and its text output decides.
//
// The check runs the tool through the shell and blocks the calling thread (the
// URL session's) until the tool has ended, at most its time limit: a tool
// killed at the limit ends with a non-zero status, so the package is refused
// (validationFailed) as when the tool fails.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/logger.h"
#include "platform/process.h"

namespace quarn::update {

enum class PackageValidationResult {
  valid,
  validationFailed,
  emptyOutput,
  notSigned,
  notNotarized,
  wrongDeveloperID,
  wrongCertificationAuthority,
  wrongRootCertificate,
};

// The text sent to the service when a package is refused; empty for `valid`.
std::string_view reportText(PackageValidationResult result);

// The collected output of a finished child started with pipes for standard
// output and standard error: standard output, then a line feed and standard
// error when that holds text. Bytes that are not UTF-8 are left out. Absent
// when a stream is not a pipe, or when reading fails (logged as
// "Error executing '...' error: ...").
std::optional<std::string> readProcessOutput(platform::Process& process,
                                             const platform::Logger& logger);

class PackageValidator {
 public:
  // `logger` is the pipeline's; `commandPrefix` is the package tool's check
  // command up to the path and `shell` the shell that runs it, killed with its
  // process group after `timeLimit` seconds.
  PackageValidator(std::shared_ptr<platform::ProcessLauncher> launcher, platform::Logger logger,
                   std::string commandPrefix, std::string shell, double timeLimit);

  // Runs `<shell> -c "<commandPrefix><path>"` (the path unquoted) and tests its
  // output for the seven expected texts, in order. The texts are looked for
  // while the output is read, so the verdict is that of the whole output,
  // however long, in bounded memory.
  PackageValidationResult validatePackageSignature(const std::string& path) const;

 private:
  std::shared_ptr<platform::ProcessLauncher> launcher_;
  platform::Logger logger_;
  std::string commandPrefix_;
  std::string shell_;
  double timeLimit_;
};

}  // namespace quarn::update
