#include "app/composition.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "api/api_service.h"
#include "api/request_builder.h"
#include "app/constants.h"
#include "platform/task_queue.h"
#include "platform/url.h"
#include "platform/url_session.h"
#include "update/log_message_ids.h"
#include "update/package_validation.h"
#include "update/status_reporter.h"

namespace quarn::app {
namespace {

platform::Logger logger(std::string_view subsystem, std::string_view category,
                        std::shared_ptr<platform::LogSink> sink) {
  return platform::Logger(std::string(subsystem), std::string(category), std::move(sink));
}
platform::Logger logger(std::string_view subsystem, std::string_view category,
                        const Platform& platform) {
  return logger(subsystem, category, platform.logSink);
}

// An ApiService as both the pipeline and each reporter use: a RequestBuilder
// on the base URL, the shared session, the "API Service" logger, the file
// system that takes the package, and the User-Agent and time limit of each
// kind of request.
std::shared_ptr<api::ApiService> makeApiService(const Constants& constants,
                                                const Platform& platform) {
  return api::ApiService::create(
      std::make_unique<api::RequestBuilder>(
          constants.serviceBaseUrl,
          api::TransferSettings{constants.userAgent, constants.serviceRequestTimeLimit}),
      platform.urlSession, logger(kLogSubsystem, kApiServiceLogCategory, platform),
      platform.mainLoop, platform.fileSystem, {constants.userAgent, constants.downloadTimeLimit});
}

}  // namespace

Constants shippedConstants() {
  return Constants{
      .lockPath = std::string(kLockPath),
      .orvantaForwarderPath = std::string(kOrvantaForwarderPath),
      .teamIdentifier = std::string(kTeamIdentifier),
      .extensionIdentifier = std::string(kExtensionIdentifier),
      .systemExtensionsDBPath = std::string(kSystemExtensionsDBPath),
      .serviceBaseUrl = std::string(kServiceBaseUrl),
      .updaterPath = std::string(kUpdaterPath),
      .updaterOutputIdentifier = std::string(kUpdaterOutputIdentifier),
      .sharedItemsDatabasePath = std::string(kSharedItemsDatabasePath),
      .sharedItemAttributes =
          {
              .service = std::string(kSharedItemsService),
              .accessDescription = std::string(kSharedItemsAccessDescription),
              .applicationPaths =
                  {
                      {storage::TrustedApplication::systemExtension,
                       std::string(kSystemExtensionApplicationPath)},
                      {storage::TrustedApplication::main, std::string(kMainApplicationPath)},
                      {storage::TrustedApplication::quarn, std::string(kQuarnApplicationPath)},
                  },
          },
      .packagePath = std::string(kPackagePath),
      .packageCheckCommandPrefix = std::string(kPackageCheckCommandPrefix),
      .shellPath = std::string(kShellPath),
      .maximumDelay = kMaximumDelaySeconds,
      .childTimeLimit = kChildTimeLimitSeconds,
      .userAgent = std::string(kUserAgent),
      .serviceRequestTimeLimit = kServiceRequestTimeLimitSeconds,
      .downloadTimeLimit = kDownloadTimeLimitSeconds,
  };
}

Platform systemPlatform(const Constants& constants) {
  const std::shared_ptr<platform::LogSink> logSink = platform::systemLogSink();
  return Platform{
      .logSink = logSink,
      .fileSystem = platform::makeFileSystem(),
      .processLauncher = platform::makeProcessLauncher(),
      .mainLoop = platform::makeMainRunLoop(),
      .urlSession =
          platform::makeUrlSession({}, logger(kLogSubsystem, kUrlSessionLogCategory, logSink)),
      .keychain = platform::makeSqliteKeychain(
          constants.sharedItemsDatabasePath,
          logger(kLogSubsystem, kSharedItemsStorageLogCategory, logSink)),
      .clock = platform::makeSystemClock(),
      .random = platform::makeSystemRandom(),
      .exitProcess =
          [](int status) {
            std::fflush(nullptr);
            std::_Exit(status);
          },
  };
}

std::shared_ptr<sysext::SystemExtensionLoader> Quarn::makeSystemExtensionLoader(
    const Constants& constants, const Platform& platform) {
  return std::make_shared<sysext::SystemExtensionLoader>(
      sysext::SystemExtensionLoaderOptions{
          .orvantaForwarderPath = constants.orvantaForwarderPath,
          .teamIdentifier = constants.teamIdentifier,
          .extensionIdentifier = constants.extensionIdentifier,
          .systemExtensionsDBPath = constants.systemExtensionsDBPath,
          .shellPath = constants.shellPath,
          .commandTimeLimit = constants.childTimeLimit,
      },
      logger(kLogSubsystem, kSystemExtensionLoaderLogCategory, platform), platform.fileSystem,
      platform.processLauncher);
}

std::shared_ptr<storage::SharedItemsStorage> Quarn::makeSharedItemsStorage(
    const Constants& constants, const Platform& platform) {
  return std::make_shared<storage::KeychainSharedItemsStorage>(platform.keychain,
                                                               constants.sharedItemAttributes);
}

std::shared_ptr<update::PackageUpdater> Quarn::makePackageUpdater(
    std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage, const Constants& constants,
    const Platform& platform) {
  if (!platform::isValidAbsoluteUrl(constants.serviceBaseUrl)) {
    std::fprintf(stderr, "quarn: the service base URL \"%s\" does not parse\n",
                 constants.serviceBaseUrl.c_str());
    std::abort();
  }
  const platform::Logger pipelineLogger =
      logger(kLogSubsystem, kPackageUpdaterLogCategory, platform);
  update::PackageUpdaterEnvironment environment{
      .logger = pipelineLogger,
      .clock = platform.clock,
      .random = platform.random,
      .mainQueue = platform.mainLoop,
      .processLauncher = platform.processLauncher,
      .packageValidator = update::PackageValidator(platform.processLauncher, pipelineLogger,
                                                   constants.packageCheckCommandPrefix,
                                                   constants.shellPath, constants.childTimeLimit),
      .makeStatusReporter =
          [constants, platform](std::string assetId, std::string actionId) {
            return std::make_shared<update::StatusReporter>(
                std::move(assetId), std::move(actionId), makeApiService(constants, platform),
                logger(kStatusReporterLogSubsystem, kStatusReporterLogCategory, platform));
          },
      .exitProcess = platform.exitProcess,
      .packagePath = constants.packagePath,
      .maximumDelay = constants.maximumDelay,
      .updaterOutputIdentifier = constants.updaterOutputIdentifier,
  };
  return update::PackageUpdater::create(makeApiService(constants, platform), constants.updaterPath,
                                        std::move(sharedItemsStorage), nullptr,
                                        std::move(environment));
}

int Quarn::run(const Constants& constants, const Platform& platform) {
  // One start at a time, before anything else: two starts would both pass the
  // gate and install the same package at once. Held until the process ends.
  const platform::FileLock lock = platform.fileSystem->lockFile(constants.lockPath);
  if (lock.state != platform::FileLock::State::acquired) {
    const platform::Logger startLogger =
        logger(kLogSubsystem, kSystemExtensionLoaderLogCategory, platform);
    if (lock.state == platform::FileLock::State::heldByAnother) {
      startLogger.log(update::message_ids::kAnotherStartRunning,
                      "Another start of quarn is running; this start ends.");
    } else {
      startLogger.log("Could not take the lock %{public}s: %{public}s; this start ends.",
                      constants.lockPath, lock.error ? lock.error->description : "");
    }
    platform.exitProcess(0);
    return 0;
  }

  // Both are held for the whole life of the process; queued work and network
  // callbacks refer to the updater only weakly.
  const auto systemExtensionLoader = makeSystemExtensionLoader(constants, platform);
  systemExtensionLoader->ensureExtensionActive();

  auto sharedItemsStorage = makeSharedItemsStorage(constants, platform);
  const auto packageUpdater =
      makePackageUpdater(std::move(sharedItemsStorage), constants, platform);
  packageUpdater->start();

  platform.mainLoop->run();
  return 0;
}

}  // namespace quarn::app
