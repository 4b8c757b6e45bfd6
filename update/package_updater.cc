// PackageUpdater: the gate and the schedule, then one update run, step by
// step, from the actions request to the updater's launch or the failure
// report.
#include "update/package_updater.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>
#include <variant>

#include "platform/crypto.h"
#include "update/last_run_text.h"
#include "update/log_message_ids.h"
#include "update/status_reporter.h"

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

// The outcome of asking the service for an update.
struct UpdateRequired {
  std::string actionIdentifier;
  api::ForwarderUpdateAction update;
};
struct UpdateCheckFailed {
  platform::Error error;
};
struct NoUpdateRequired {};
using PackageUpdateAction = std::variant<UpdateRequired, UpdateCheckFailed, NoUpdateRequired>;

// The first pending action that carries an update, in the order of the
// answer; an error or a missing record is a failure.
PackageUpdateAction resolveUpdateAction(
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

}  // namespace

platform::Error toError(PackageUpdaterError error) {
  return platform::Error{"PackageUpdaterError", static_cast<std::int64_t>(error),
                         std::string(description(error))};
}

std::shared_ptr<PackageUpdater> PackageUpdater::create(
    std::shared_ptr<api::ApiService> apiService,
    std::shared_ptr<api::FileDownloader> fileDownloader, std::string updaterPath,
    std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
    PackageUpdaterEnvironment environment) {
  return std::shared_ptr<PackageUpdater>(
      new PackageUpdater(std::move(apiService), std::move(fileDownloader), std::move(updaterPath),
                         std::move(sharedItemsStorage), std::move(environment)));
}

PackageUpdater::PackageUpdater(std::shared_ptr<api::ApiService> apiService,
                               std::shared_ptr<api::FileDownloader> fileDownloader,
                               std::string updaterPath,
                               std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
                               PackageUpdaterEnvironment environment)
    : apiService_(std::move(apiService)),
      fileDownloader_(std::move(fileDownloader)),
      updaterPath_(std::move(updaterPath)),
      sharedItemsStorage_(std::move(sharedItemsStorage)),
      environment_(std::move(environment)) {}

bool PackageUpdater::onMainQueue() const {
  return environment_.mainQueue->runsTasksOnCurrentThread();
}
bool PackageUpdater::onSessionThread() const {
  return environment_.urlSession->runsCallbacksOnCurrentThread();
}

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
  assert(onMainQueue());
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

  // Before it starts, the run is only this queued work: once the updater is
  // gone there is nothing to run.
  const double delay = asyncAfterRandomDelay(*environment_.mainQueue, environment_.maximumDelay,
                                             [weakSelf = weak_from_this()] {
                                               if (auto self = weakSelf.lock()) {
                                                 self->runUpdateProcess();
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

// One update run: what its steps share, and its one way to end.
//
// Owned by the callbacks of the step in progress; the steps run one at a time,
// each handing the run on through the main queue or the URL session, so its
// fields need no lock. end() is the only way out: it reports the failure when
// there is one and the run has a reporter, then calls the completion, which
// ends the process. A run dropped without having ended is a bug, stopped at in
// debug builds; a release build logs it and completes from the destructor, so
// the agent ends rather than waits for its launcher's limit.
class PackageUpdater::Run : public std::enable_shared_from_this<Run> {
 public:
  // `logger` is the pipeline's.
  Run(platform::Logger logger, platform::OnceCallback<void()> completion)
      : logger_(std::move(logger)), completion_(std::move(completion)) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() {
    assert(ended_ && "an update run was dropped without ending");
    if (ended_) return;
    logger_.log("The update run was dropped before it ended; it ends now.");
    complete();
  }

  // Reports `failureReason` when there is one and a reporter to send it, and
  // completes once the report has ended; otherwise completes at once.
  void end(std::optional<std::string> failureReason = std::nullopt) {
    if (failureReason && reporter) {
      reporter->reportFailure(std::move(*failureReason),
                              [self = shared_from_this()] { self->complete(); });
      return;
    }
    complete();
  }

  std::string assetIdentifier;
  std::string actionIdentifier;
  // Made when an update action is taken up; from then on failures are
  // reported.
  std::optional<StatusReporter> reporter;

 private:
  void complete() {
    ended_ = true;
    std::move(completion_)();
  }

  const platform::Logger logger_;
  platform::OnceCallback<void()> completion_;
  bool ended_ = false;
};

// A callback that runs `method` with the run on this updater while it exists,
// and ends the run once the updater is gone.
template <class... Args>
auto PackageUpdater::step(std::shared_ptr<Run> run,
                          void (PackageUpdater::*method)(std::shared_ptr<Run>, Args...)) {
  return [weakSelf = weak_from_this(), run = std::move(run), method](Args... args) mutable {
    const std::shared_ptr<PackageUpdater> self = weakSelf.lock();
    if (!self) return run->end();
    ((*self).*method)(std::move(run), std::move(args)...);
  };
}

void PackageUpdater::runUpdateProcess() {
  // Queued by start(); from the actions answer on, the run leaves the main queue.
  assert(onMainQueue());
  const platform::Logger& logger = environment_.logger;
  logger.log(message_ids::kUpdateStarted, "Update process started.");
  auto run =
      std::make_shared<Run>(logger, [exitProcess = environment_.exitProcess] { exitProcess(0); });
  auto assetIdentifier = sharedItemsStorage_->readItem(storage::SharedItem::assetIdentifier);
  if (!assetIdentifier) {
    logger.log("Asset identifier Not available in the shared items storage.");
    // End the run here too: an agent that never exits would keep its launcher
    // from ever starting it again.
    run->end();
    return;
  }
  run->assetIdentifier = std::move(*assetIdentifier);
  apiService_->fetchActions(run->assetIdentifier, step(run, &PackageUpdater::handleActions));
}

void PackageUpdater::handleActions(std::shared_ptr<Run> run,
                                   std::optional<api::ForwarderActionsResponse> response,
                                   std::optional<platform::Error> error) {
  assert(onSessionThread());
  const platform::Logger& logger = environment_.logger;
  PackageUpdateAction action = resolveUpdateAction(response, error);
  if (std::holds_alternative<NoUpdateRequired>(action)) {
    logger.log("No need for upgrade");
    run->end();
    return;
  }
  if (const auto* failed = std::get_if<UpdateCheckFailed>(&action)) {
    // No action was taken up, so there is nothing to report.
    logger.log("Error getting update action: %{public}s", failed->error.description);
    run->end();
    return;
  }
  auto& required = std::get<UpdateRequired>(action);
  logger.log("Action update received: %{public}s", required.actionIdentifier);
  run->actionIdentifier = std::move(required.actionIdentifier);
  run->reporter.emplace(run->assetIdentifier, run->actionIdentifier, apiService_,
                        environment_.reporterLogger);
  fileDownloader_->downloadFile(required.update.downloadUrl, environment_.packagePath,
                                required.update.binarySHA256,
                                step(run, &PackageUpdater::handleDownload));
}

void PackageUpdater::handleDownload(std::shared_ptr<Run> run,
                                    std::optional<platform::Error> error) {
  assert(onSessionThread());
  if (error) {
    environment_.logger.log(message_ids::kDownloadFailed,
                            "Error downloading the package: %{public}s", error->description);
    run->end("Error downloading the package: " + error->description);
    return;
  }
  installPackage(std::move(run));
}

void PackageUpdater::installPackage(std::shared_ptr<Run> run) {
  // The check blocks while the package tool runs: never on the main thread.
  assert(onSessionThread());
  const PackageValidationResult result =
      environment_.packageValidator.validatePackageSignature(environment_.packagePath);
  if (result == PackageValidationResult::valid) {
    launchUpdater(std::move(run));
    return;
  }
  run->end(std::string(reportText(result)));
}

// ---- Updater launch ----

void PackageUpdater::launchUpdater(std::shared_ptr<Run> run) {
  assert(onSessionThread());
  const platform::Logger& logger = environment_.logger;
  const std::string& packagePath = environment_.packagePath;
  const std::string encodedActionIdentifier = platform::base64Encode(run->actionIdentifier);
  logger.log(message_ids::kUpdaterLaunched,
             "Executing 'orvanta-updater': path '%{public}s', action identifier '%{public}s' asset "
             "identifier: %{public}s",
             packagePath, encodedActionIdentifier, run->assetIdentifier);

  platform::FileDescriptor output =
      logger.sink()->childOutput(environment_.updaterOutputIdentifier);
  platform::ProcessSpec command{
      .launchPath = updaterPath_,
      .arguments = {"--path", packagePath, "--action-identifier", encodedActionIdentifier,
                    "--asset-identifier", run->assetIdentifier},
      .outputDescriptor =
          output ? std::make_shared<const platform::FileDescriptor>(std::move(output)) : nullptr,
  };
  auto launched = environment_.processLauncher->launch(std::move(command));
  if (!launched) {
    logger.log("Error executing '%{public}s' error: %{public}s", updaterPath_,
               launched.error().description);
  }
  run->end();
}

}  // namespace quarn::update
