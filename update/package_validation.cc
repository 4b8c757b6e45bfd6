#include "update/package_validation.h"

#include <utility>

#include "platform/text.h"

namespace quarn::update {
namespace {

struct ExpectedLine {
  std::string_view text;
  PackageValidationResult failure;
  std::string_view message;
};

// Tested in this order; the first one missing decides the result.
constexpr ExpectedLine kExpectedLines[] = {
    {"Status: signed by a developer certificate issued by Apple for distribution",
     PackageValidationResult::notSigned, "The package is not signed."},
    {"Notarization: trusted by the Apple notary service", PackageValidationResult::notNotarized,
     "The package is not notarized."},
    {"1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)",
     PackageValidationResult::wrongDeveloperID, "The package is signed with another developer ID."},
    {"2. Developer ID Certification Authority",
     PackageValidationResult::wrongCertificationAuthority,
     "The package is signed but the certificate is authorized by a wrong Certification "
     "Authority"},
    {"3. Apple Root CA", PackageValidationResult::wrongRootCertificate,
     "The package is signed but the Root Certificate is not from Apple"},
    {"B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C",
     PackageValidationResult::wrongRootCertificate,
     "The package is signed but the Root Certificate is not from Apple"},
    {"68 C5 BE 91 B5 A1 10 01 F0 24", PackageValidationResult::wrongRootCertificate,
     "The package is signed but the Root Certificate is not from Apple"},
};

std::string joined(const std::vector<std::string>& arguments) {
  std::string text;
  for (const auto& argument : arguments) {
    if (!text.empty()) text += ' ';
    text += argument;
  }
  return text;
}

}  // namespace

std::string_view reportText(PackageValidationResult result) {
  switch (result) {
    case PackageValidationResult::valid:
      return "";
    case PackageValidationResult::validationFailed:
      return "Package could not be validated.";
    case PackageValidationResult::emptyOutput:
      return "pkgutil output is empty.";
    case PackageValidationResult::notSigned:
      return "The package is not signed.";
    case PackageValidationResult::notNotarized:
      return "The package is not notarized.";
    case PackageValidationResult::wrongDeveloperID:
      return "The package is signed with a wrong developer ID.";
    case PackageValidationResult::wrongCertificationAuthority:
      return "The package is signed with a wrong Certification Authority.";
    case PackageValidationResult::wrongRootCertificate:
      return "The package is signed but the root certificate is not from Apple.";
  }
  return "";
}

std::optional<std::string> readProcessOutput(platform::Process& process,
                                             const platform::Logger& logger) {
  platform::Pipe* standardOutput = process.standardOutput();
  platform::Pipe* standardError = process.standardError();
  if (standardOutput == nullptr || standardError == nullptr) return std::nullopt;

  const auto readFailed = [&](const platform::Error& error) {
    logger.log("Error executing '%{public}s' error: %{public}s", joined(process.arguments()),
               error.description);
    return std::nullopt;
  };

  std::string text;
  auto output = standardOutput->readToEnd();
  if (!output) return readFailed(output.error());
  if (platform::isValidUtf8(*output)) text += *output;

  auto errors = standardError->readToEnd();
  if (!errors) return readFailed(errors.error());
  if (!errors->empty() && platform::isValidUtf8(*errors)) {
    text += '\n';
    text += *errors;
  }
  return text;
}

PackageValidator::PackageValidator(std::shared_ptr<platform::ProcessLauncher> launcher,
                                   platform::Logger logger, std::string commandPrefix,
                                   std::string shell)
    : launcher_(std::move(launcher)),
      logger_(std::move(logger)),
      commandPrefix_(std::move(commandPrefix)),
      shell_(std::move(shell)) {}

PackageValidationResult PackageValidator::validatePackageSignature(const std::string& path) const {
  platform::ProcessSpec command{
      .launchPath = shell_,
      .arguments = {"-c", commandPrefix_ + path},
      .pipeStandardOutput = true,
      .pipeStandardError = true,
  };
  auto launched = launcher_->launch(std::move(command));
  if (!launched) {
    // A shell that cannot start checks nothing: the package is refused.
    logger_.log("Package could not be validated.");
    logger_.log("Error executing '%{public}s' error: %{public}s", "-c " + commandPrefix_ + path,
                launched.error().description);
    return PackageValidationResult::validationFailed;
  }
  platform::Process& process = **launched;

  if (process.waitUntilExit() != 0) {
    logger_.log("Package could not be validated.");
    if (auto output = readProcessOutput(process, logger_)) {
      logger_.log("Command output: %s", *output);
    }
    return PackageValidationResult::validationFailed;
  }

  const auto output = readProcessOutput(process, logger_);
  if (!output) return PackageValidationResult::emptyOutput;

  for (const auto& line : kExpectedLines) {
    if (output->find(line.text) == std::string::npos) {
      logger_.log(line.message);
      return line.failure;
    }
  }
  logger_.log("Package validated successfully.");
  return PackageValidationResult::valid;
}

}  // namespace quarn::update
