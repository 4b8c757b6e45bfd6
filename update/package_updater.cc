#include "update/package_updater.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/crypto.h"
#include "update/last_run_text.h"
#include "update/log_message_ids.h"

namespace quarn::update {
namespace {

constexpr double kSecondsBetweenChecks = 86400.0;

std::string_view description(PackageUpdaterError error) {
  switch (error) {
    case PackageUpdaterError::assetIdentifierNotAvailable:
      return "The asset identifier is not available.";
    case PackageUpdaterError::actionsResponseDoesNotHaveTheCorrectFormat:
      return "The forwarder actions could not be parsed from the response.";
    case PackageUpdaterError::couldNotBuildActionsUrl:
      return "There was an error building the request URL to get the list of actions.";
    case PackageUpdaterError::couldNotReadUpdateActionData:
      return "The response was parsed correctly but the update package information was not "
             "received.";
  }
  return "";
}

}  // namespace

platform::Error toError(PackageUpdaterError error) {
  return platform::Error{"PackageUpdaterError", static_cast<std::int64_t>(error),
                         std::string(description(error))};
}

std::shared_ptr<PackageUpdater> PackageUpdater::create(
    std::shared_ptr<api::ApiService> apiService, std::string updaterPath,
    std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
    std::shared_ptr<StatusReporter> statusReporter, PackageUpdaterEnvironment environment) {
  return std::shared_ptr<PackageUpdater>(new PackageUpdater(
      std::move(apiService), std::move(updaterPath), std::move(sharedItemsStorage),
      std::move(statusReporter), std::move(environment)));
}

PackageUpdater::PackageUpdater(std::shared_ptr<api::ApiService> apiService, std::string updaterPath,
                               std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
                               std::shared_ptr<StatusReporter> statusReporter,
                               PackageUpdaterEnvironment environment)
    : apiService_(std::move(apiService)),
      updaterPath_(std::move(updaterPath)),
      sharedItemsStorage_(std::move(sharedItemsStorage)),
      statusReporter_(std::move(statusReporter)),
      environment_(std::move(environment)) {}

// ---- Scheduling ----

bool PackageUpdater::isUpdateCheckDue() {
  const std::string text =
      sharedItemsStorage_->readItem(storage::SharedItem::updateLastRun).value_or("0");
  const double lastCheck = parseUpdateLastRun(text).value_or(0.0);
  const double now = environment_.clock->now();
  environment_.logger.log("Last installation check timestamp: %{public}s", text);
  // A time that is no finite number, or lies more than a day ahead (written
  // while the clock was wrong), would hold checks back for good or for years:
  // it is due, and the run replaces it. Up to a day ahead is not due, so a
  // clock set back a little still gives at most one check a day.
  if (!std::isfinite(lastCheck) || lastCheck - now > kSecondsBetweenChecks) return true;
  return now - lastCheck > kSecondsBetweenChecks;
}

void PackageUpdater::start() {
  assert(environment_.mainQueue->runsTasksOnCurrentThread());
  const platform::Logger& logger = environment_.logger;
  if (!isUpdateCheckDue()) {
    logger.log(message_ids::kUpdateCheckSkipped,
               "Update process skipped until 24 hours passed since the last update check.");
    environment_.exitProcess(0);
    return;
  }

  // A reading of its own, after the gate: the time the run is scheduled.
  const std::string text = formatUpdateLastRun(environment_.clock->now());
  logger.log("New timestamp for installation check: %{public}s", text);
  // One step of the store, so a failed save leaves the old time in place. The
  // result is ignored: the run goes on either way.
  (void)sharedItemsStorage_->replaceItem(storage::SharedItem::updateLastRun, text,
                                         {storage::TrustedApplication::quarn});

  const double delay =
      asyncAfterRandomDelay(*environment_.mainQueue, environment_.maximumDelay,
                            [weakSelf = weak_from_this(), exitProcess = environment_.exitProcess] {
                              if (auto self = weakSelf.lock()) {
                                self->runUpdateProcess([exitProcess] { exitProcess(0); });
                              }
                            });
  logger.log("Update process scheduled to be executed in %{public}f seconds.", delay);
}

double PackageUpdater::asyncAfterRandomDelay(platform::TaskQueue& queue, double maximumDelay,
                                             platform::TaskQueue::Task work) {
  if (!(maximumDelay >= 0.0)) std::abort();  // a programming error, as a negative range is
  // 53 random bits spread over [0, 1] with both ends reachable: 0 and
  // 2^53 - 1 map to exactly 0.0 and 1.0.
  constexpr double kLargest = 9007199254740991.0;  // 2^53 - 1
  const double fraction = static_cast<double>(environment_.random->next64() >> 11) / kLargest;
  const double delay = maximumDelay * fraction;
  queue.postDelayed(delay, std::move(work));
  return delay;
}

// ---- The update run ----

void PackageUpdater::runUpdateProcess(Completion completion) {
  // Queued by start(); from the actions answer on, the run leaves the main queue.
  assert(environment_.mainQueue->runsTasksOnCurrentThread());
  const platform::Logger& logger = environment_.logger;
  logger.log(message_ids::kUpdateStarted, "Update process started.");
  auto assetIdentifier = sharedItemsStorage_->readItem(storage::SharedItem::assetIdentifier);
  if (!assetIdentifier) {
    logger.log("Asset identifier Not available in the shared items storage.");
    // End the run here too: an agent that never exits would keep its launcher
    // from ever starting it again.
    std::move(completion)();
    return;
  }

  fetchUpdateAction(
      *assetIdentifier, [weakSelf = weak_from_this(), logger, assetIdentifier = *assetIdentifier,
                         completion = std::move(completion)](PackageUpdateAction action) mutable {
        if (std::holds_alternative<NoUpdateRequired>(action)) {
          logger.log("No need for upgrade");
          std::move(completion)();
        } else if (auto* failed = std::get_if<UpdateCheckFailed>(&action)) {
          logger.log("Error getting update action: %{public}s", failed->error.description);
          std::move(completion)();
        } else {
          auto& required = std::get<UpdateRequired>(action);
          logger.log("Action update received: %{public}s", required.actionIdentifier);
          if (auto self = weakSelf.lock()) {
            self->downloadPackage(std::move(required.actionIdentifier), std::move(assetIdentifier),
                                  std::move(required.update), std::move(completion));
          }
        }
      });
}

void PackageUpdater::fetchUpdateAction(const std::string& assetIdentifier,
                                       platform::OnceCallback<void(PackageUpdateAction)> callback) {
  apiService_->performRequest<api::ForwarderActionsResponse>(
      {
          .path = "assets/" + assetIdentifier + "/actions",
          .method = api::HTTPMethod::get,
          .retryStatusCodes = {502},
          .retries = 2,
      },
      [callback = std::move(callback)](std::optional<api::ForwarderActionsResponse> response,
                                       std::optional<platform::Error> error) mutable {
        std::move(callback)(resolveUpdateAction(response, error));
      });
}

PackageUpdateAction PackageUpdater::resolveUpdateAction(
    const std::optional<api::ForwarderActionsResponse>& response,
    const std::optional<platform::Error>& error) {
  if (error) return UpdateCheckFailed{*error};
  if (!response) {
    return UpdateCheckFailed{
        toError(PackageUpdaterError::actionsResponseDoesNotHaveTheCorrectFormat)};
  }
  for (const auto& action : response->actions) {
    if (action.update) return UpdateRequired{action.id, *action.update};
  }
  return NoUpdateRequired{};
}

void PackageUpdater::downloadPackage(std::string actionIdentifier, std::string assetIdentifier,
                                     api::ForwarderUpdateAction update, Completion completion) {
  statusReporter_ = environment_.makeStatusReporter(assetIdentifier, actionIdentifier);
  const std::string packagePath = environment_.packagePath;
  apiService_->downloadFile(
      update.downloadUrl, packagePath, update.binarySHA256,
      [weakSelf = weak_from_this(), logger = environment_.logger,
       actionIdentifier = std::move(actionIdentifier), assetIdentifier = std::move(assetIdentifier),
       packagePath,
       completion = std::move(completion)](std::optional<platform::Error> error) mutable {
        if (error) {
          logger.log(message_ids::kDownloadFailed, "Error downloading the package: %{public}s",
                     error->description);
          auto self = weakSelf.lock();
          if (!self || !self->statusReporter_) return;
          self->statusReporter_->reportFailure(
              "Error downloading the package: " + error->description, std::move(completion));
          return;
        }
        if (auto self = weakSelf.lock()) {
          self->installPackage(std::move(actionIdentifier), std::move(assetIdentifier), packagePath,
                               std::move(completion));
        }
      });
}

void PackageUpdater::installPackage(std::string actionIdentifier, std::string assetIdentifier,
                                    std::string packagePath, Completion completion) {
  const PackageValidationResult result =
      environment_.packageValidator.validatePackageSignature(packagePath);
  if (result == PackageValidationResult::valid) {
    launchUpdater(actionIdentifier, assetIdentifier, packagePath, std::move(completion));
    return;
  }
  if (!statusReporter_) return;
  statusReporter_->reportFailure(std::string(reportText(result)), std::move(completion));
}

// ---- Updater launch ----

void PackageUpdater::launchUpdater(const std::string& actionIdentifier,
                                   const std::string& assetIdentifier,
                                   const std::string& packagePath, Completion completion) {
  const platform::Logger& logger = environment_.logger;
  const std::string encodedActionIdentifier = platform::base64Encode(actionIdentifier);
  logger.log(message_ids::kUpdaterLaunched,
             "Executing 'orvanta-updater': path '%{public}s', action identifier '%{public}s' asset "
             "identifier: %{public}s",
             packagePath, encodedActionIdentifier, assetIdentifier);

  platform::FileDescriptor output =
      logger.sink()->childOutput(environment_.updaterOutputIdentifier);
  platform::ProcessSpec command{
      .launchPath = updaterPath_,
      .arguments = {"--path", packagePath, "--action-identifier", encodedActionIdentifier,
                    "--asset-identifier", assetIdentifier},
      .outputDescriptor =
          output ? std::make_shared<const platform::FileDescriptor>(std::move(output)) : nullptr,
  };
  auto launched = environment_.processLauncher->launch(std::move(command));
  if (!launched) {
    logger.log("Error executing '%{public}s' error: %{public}s", updaterPath_,
               launched.error().description);
  }
  std::move(completion)();
}

}  // namespace quarn::update
