// The composition: the shipped constants and the real platform, the objects
// of one start built from them, and the start itself.
#include "app/composition.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "api/api_service.h"
#include "api/file_downloader.h"
#include "api/request_builder.h"
#include "app/constants.h"
#include "platform/task_queue.h"
#include "platform/url.h"
#include "platform/url_session.h"
#include "update/log_message_ids.h"
#include "update/package_validation.h"

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
      .retryDelay = kRetryDelaySeconds,
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

std::shared_ptr<sysext::SystemExtensionLoader> makeSystemExtensionLoader(const Constants& constants,
                                                                         const Platform& platform) {
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

std::shared_ptr<storage::SharedItemsStorage> makeSharedItemsStorage(const Constants& constants,
                                                                    const Platform& platform) {
  return std::make_shared<storage::KeychainSharedItemsStorage>(platform.keychain,
                                                               constants.sharedItemAttributes);
}

std::shared_ptr<update::PackageUpdater> makePackageUpdater(
    std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage, const Constants& constants,
    const Platform& platform) {
  if (!platform::isValidAbsoluteUrl(constants.serviceBaseUrl)) {
    std::fprintf(stderr, "quarn: the service base URL \"%s\" does not parse\n",
                 constants.serviceBaseUrl.c_str());
    std::abort();
  }
  const platform::Logger pipelineLogger =
      logger(kLogSubsystem, kPackageUpdaterLogCategory, platform);
  // The one service client: the actions request and the failure reports.
  auto apiService = api::ApiService::create(
      std::make_unique<api::RequestBuilder>(
          constants.serviceBaseUrl,
          api::TransferSettings{constants.userAgent, constants.serviceRequestTimeLimit}),
      platform.urlSession, logger(kLogSubsystem, kApiServiceLogCategory, platform),
      platform.mainLoop, constants.retryDelay);
  auto fileDownloader = std::make_shared<api::FileDownloader>(
      platform.urlSession, platform.fileSystem,
      api::TransferSettings{constants.userAgent, constants.downloadTimeLimit});
  update::PackageUpdaterEnvironment environment{
      .logger = pipelineLogger,
      .reporterLogger = logger(kStatusReporterLogSubsystem, kStatusReporterLogCategory, platform),
      .clock = platform.clock,
      .random = platform.random,
      .mainQueue = platform.mainLoop,
      .urlSession = platform.urlSession,
      .processLauncher = platform.processLauncher,
      .packageValidator = update::PackageValidator(platform.processLauncher, pipelineLogger,
                                                   constants.packageCheckCommandPrefix,
                                                   constants.shellPath, constants.childTimeLimit),
      .exitProcess = platform.exitProcess,
      .packagePath = constants.packagePath,
      .maximumDelay = constants.maximumDelay,
      .updaterOutputIdentifier = constants.updaterOutputIdentifier,
  };
  return update::PackageUpdater::create(std::move(apiService), std::move(fileDownloader),
                                        constants.updaterPath, std::move(sharedItemsStorage),
                                        std::move(environment));
}

int run(const Constants& constants, const Platform& platform) {
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
