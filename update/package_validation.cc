// Package validation: the package tool's check run under the shell with a
// time limit, its output scanned for the expected texts as it arrives, and
// the verdict; readProcessOutput for a finished child's output.
#include "update/package_validation.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "platform/text.h"
#include "update/log_message_ids.h"

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

constexpr std::size_t kExpectedLineCount = std::size(kExpectedLines);

constexpr std::size_t longestExpectedLine() {
  std::size_t longest = 0;
  for (const auto& line : kExpectedLines) longest = std::max(longest, line.text.size());
  return longest;
}

// Looks for the expected texts in one output stream while it is read, so the
// verdict covers the whole stream in bounded memory: only the last bytes that
// could begin a text split between two reads are kept. The stream counts only
// when all of it is UTF-8, as readProcessOutput decodes it.
class ExpectedLineScanner {
 public:
  void append(std::string_view bytes) {
    utf8_.append(bytes);
    window_.append(bytes);
    for (std::size_t i = 0; i < kExpectedLineCount; ++i) {
      if (!found_[i]) found_[i] = window_.find(kExpectedLines[i].text) != std::string::npos;
    }
    constexpr std::size_t kKept = longestExpectedLine() - 1;
    if (window_.size() > kKept) window_.erase(0, window_.size() - kKept);
  }

  bool contains(std::size_t line) const { return found_[line] && utf8_.valid(); }

 private:
  platform::Utf8Validator utf8_;
  std::string window_;
  std::array<bool, kExpectedLineCount> found_{};
};

// Both streams of the package tool. No expected text holds a line feed, so
// none can span the line feed that joins standard output to standard error:
// a text is in the joined output exactly when it is in one of the streams.
struct PackageToolOutput {
  ExpectedLineScanner streams[2];

  bool contains(std::size_t line) const {
    return streams[0].contains(line) || streams[1].contains(line);
  }
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
                                   std::string shell, double timeLimit)
    : launcher_(std::move(launcher)),
      logger_(std::move(logger)),
      commandPrefix_(std::move(commandPrefix)),
      shell_(std::move(shell)),
      timeLimit_(timeLimit) {}

PackageValidationResult PackageValidator::validatePackageSignature(const std::string& path) const {
  // Shared with the watcher thread, which may still feed it after this call
  // has returned: a failed read ends the call before the other stream ends.
  auto scanned = std::make_shared<PackageToolOutput>();
  platform::ProcessSpec command{
      .launchPath = shell_,
      .arguments = {"-c", commandPrefix_ + path},
      .pipeStandardOutput = true,
      .pipeStandardError = true,
      .outputObserver =
          [scanned](platform::OutputStream stream, std::string_view bytes) {
            scanned->streams[stream == platform::OutputStream::standardError].append(bytes);
          },
      .timeLimit = timeLimit_,
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

  // Both streams have ended once the output is read, and with them every call
  // of the observer. The captured text only tells whether reading failed; the
  // scan saw all of the output.
  if (!readProcessOutput(process, logger_)) return PackageValidationResult::emptyOutput;

  for (std::size_t i = 0; i < kExpectedLineCount; ++i) {
    if (!scanned->contains(i)) {
      logger_.log(kExpectedLines[i].message);
      return kExpectedLines[i].failure;
    }
  }
  logger_.log(message_ids::kPackageValidated, "Package validated successfully.");
  return PackageValidationResult::valid;
}

}  // namespace quarn::update
