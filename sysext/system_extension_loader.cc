// The system extension check: the decision over the extension database and
// the install command it runs when the extension is allowed but not active.
#include "sysext/system_extension_loader.h"

#include <utility>

#include "platform/text.h"

namespace quarn::sysext {
namespace {

constexpr char kActiveState[] = "activated_enabled";
constexpr char kInstallCommandSuffix[] = " install-extension";

constexpr char kDatabaseNotLoaded[] = "The file db.plist could not be loaded.";
constexpr char kDatabaseError[] = "Error loading db.plist: %{public}s";
constexpr char kNotAllowed[] = "The SysExt \"%{public}s\" is not listed as allowed.";
constexpr char kAlreadyActive[] = "The System extension is already active.";
constexpr char kInstalling[] = "Installing extension.";
constexpr char kCommandError[] = "Orvanta Forwarder command error: %{public}s";
constexpr char kCommandSilent[] =
    "Orvanta Forwarder command error: The 'install-extension' command did not produce any "
    "output.";
constexpr char kCommandOutput[] = "Orvanta Forwarder command output:\n%{public}s";

}  // namespace

SystemExtensionLoader::SystemExtensionLoader(
    SystemExtensionLoaderOptions options, platform::Logger logger,
    std::shared_ptr<platform::FileSystem> fileSystem,
    std::shared_ptr<platform::ProcessLauncher> processLauncher)
    : options_(std::move(options)),
      logger_(std::move(logger)),
      fileSystem_(std::move(fileSystem)),
      processLauncher_(std::move(processLauncher)) {}

void SystemExtensionLoader::ensureExtensionActive() {
  const std::optional<SystemExtensionsDB> database = loadSystemExtensionsDB();
  if (!database) return;

  if (!isExtensionAllowed(options_.teamIdentifier, options_.extensionIdentifier,
                          database->extensionPolicies)) {
    logger_.log(kNotAllowed, options_.teamIdentifier + "." + options_.extensionIdentifier);
    return;
  }

  for (const std::optional<Extension>& record : database->extensions) {
    if (record && record->identifier == options_.extensionIdentifier &&
        record->state == kActiveState && record->teamID == options_.teamIdentifier) {
      logger_.log(kAlreadyActive);
      return;
    }
  }
  installExtension();
}

void SystemExtensionLoader::installExtension() {
  logger_.log(kInstalling);

  platform::ProcessSpec command;
  command.launchPath = options_.shellPath;
  command.arguments = {"-c", options_.orvantaForwarderPath + kInstallCommandSuffix};
  command.pipeStandardOutput = true;
  command.timeLimit = options_.commandTimeLimit;
  auto launched = processLauncher_->launch(std::move(command));
  if (!launched) {
    // The shell itself could not be started: nothing ran, so nothing to wait
    // for; the agent's start goes on.
    logger_.log(kCommandError, launched.error().description);
    return;
  }
  platform::Process& process = **launched;
  platform::Expected<std::string> output = process.standardOutput()
                                               ? process.standardOutput()->readToEnd()
                                               : platform::Expected<std::string>(std::string());
  // The status is not examined: a failing command's output is still its
  // output. A command killed at its limit has ended its output with an error.
  (void)process.waitUntilExit();

  if (!output) {
    logger_.log(kCommandError, output.error().description);
  } else if (output->empty()) {
    logger_.log(kCommandSilent);
  } else {
    logger_.log(kCommandOutput, platform::isValidUtf8(*output) ? *output : std::string());
  }
}

std::optional<SystemExtensionsDB> SystemExtensionLoader::loadSystemExtensionsDB() {
  const std::optional<std::string> bytes = fileSystem_->readFile(options_.systemExtensionsDBPath);
  if (!bytes) {
    logger_.log(kDatabaseNotLoaded);
    return std::nullopt;
  }
  auto database = decodeSystemExtensionsDB(std::string_view(*bytes));
  if (!database) {
    logger_.log(kDatabaseError, database.error().description);
    return std::nullopt;
  }
  return std::move(*database);
}

bool SystemExtensionLoader::isExtensionAllowed(
    std::string_view teamIdentifier, std::string_view extensionIdentifier,
    const std::vector<std::optional<ExtensionPolicy>>& extensionPolicies) {
  for (const std::optional<ExtensionPolicy>& policy : extensionPolicies) {
    if (!policy || policy->allowedExtensions.empty()) continue;
    const auto team = policy->allowedExtensions.find(std::string(teamIdentifier));
    if (team == policy->allowedExtensions.end() || !team->second) continue;
    for (const std::string& identifier : *team->second) {
      if (identifier == extensionIdentifier) return true;
    }
  }
  return false;
}

}  // namespace quarn::sysext
