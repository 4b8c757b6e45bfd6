// PackageUpdater: keeps the forwarder up to date, one update check per start.
//
// start() runs on the main thread: the 24-hour gate on "UpdateLastRun", the
// new check time, and one update run queued on the main queue after a random
// delay of up to the environment's maximum. The run reads the asset identifier, asks the
// service for pending actions and, for the first action that carries an
// update, downloads the package, validates it and hands it to the updater tool;
// failures after an action was taken up are reported to the service. From the
// actions answer on, the run continues on the URL session's thread. Only one
// stage of a run is active at a time, so the reporter field needs no lock.
//
// Every terminal path of a run calls its completion once; the completion that
// start() passes ends the process with status 0. Queued work and network
// callbacks hold the updater weakly and do nothing once it is gone.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "api/api_service.h"
#include "api/service_records.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/logger.h"
#include "platform/once_callback.h"
#include "platform/process.h"
#include "platform/task_queue.h"
#include "storage/shared_items_storage.h"
#include "update/package_validation.h"
#include "update/status_reporter.h"

namespace quarn::update {

// The pipeline's own errors; each description is a fixed text.
enum class PackageUpdaterError {
  assetIdentifierNotAvailable,
  actionsResponseDoesNotHaveTheCorrectFormat,
  couldNotBuildActionsUrl,  // no path raises it: the base URL is checked when the agent is composed
  couldNotReadUpdateActionData,  // no path raises it: the actions record is decoded whole
};

platform::Error toError(PackageUpdaterError error);

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

// What a PackageUpdater needs of the process besides its four fields.
struct PackageUpdaterEnvironment {
  platform::Logger logger;  // the pipeline's: "com.kelvane.Orvanta.quarn" / "Package Updater"
  std::shared_ptr<platform::Clock> clock;
  std::shared_ptr<platform::Random> random;
  std::shared_ptr<platform::TaskQueue> mainQueue;
  std::shared_ptr<platform::ProcessLauncher> processLauncher;
  PackageValidator packageValidator;
  // Builds the reporter for (asset identifier, action identifier).
  std::function<std::shared_ptr<StatusReporter>(std::string, std::string)> makeStatusReporter;
  // Ends the process; in the agent it does not return.
  std::function<void(int)> exitProcess;
  // Where the package is downloaded, validated and handed to the updater.
  std::string packagePath;
  // The run waits a random time of up to this many seconds.
  double maximumDelay = 0.0;
  // The name the updater tool's output goes under in the log.
  std::string updaterOutputIdentifier;
};

class PackageUpdater : public std::enable_shared_from_this<PackageUpdater> {
 public:
  using Completion = platform::OnceCallback<void()>;

  static std::shared_ptr<PackageUpdater> create(
      std::shared_ptr<api::ApiService> apiService, std::string updaterPath,
      std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
      std::shared_ptr<StatusReporter> statusReporter, PackageUpdaterEnvironment environment);

  // Main thread. Ends the process at the gate, or schedules the run.
  void start();
  // Main thread. True when more than 24 hours have passed since the stored
  // check time (a missing or unreadable time counts as 0), and when the
  // stored time is not finite or lies more than 24 hours ahead of the clock.
  bool isUpdateCheckDue();
  // Queues `work` on `queue` after a delay drawn uniformly from [0, maximum]
  // (both ends possible) and returns the delay. REQUIRES: maximum >= 0.
  double asyncAfterRandomDelay(platform::TaskQueue& queue, double maximumDelay,
                               platform::TaskQueue::Task work);

  // Main queue. One update run; `completion` runs once when the run ends.
  void runUpdateProcess(Completion completion);
  void fetchUpdateAction(const std::string& assetIdentifier,
                         platform::OnceCallback<void(PackageUpdateAction)> callback);
  static PackageUpdateAction resolveUpdateAction(
      const std::optional<api::ForwarderActionsResponse>& response,
      const std::optional<platform::Error>& error);
  void downloadPackage(std::string actionIdentifier, std::string assetIdentifier,
                       api::ForwarderUpdateAction update, Completion completion);
  void installPackage(std::string actionIdentifier, std::string assetIdentifier,
                      std::string packagePath, Completion completion);
  // Starts the updater tool and calls `completion` at once, without waiting
  // for the tool. The tool outlives the agent, so it gets no pipes: its
  // standard output and standard error go to a log stream of its own (the
  // pipeline logger's sink decides which), and the agent never reads them.
  void launchUpdater(const std::string& actionIdentifier, const std::string& assetIdentifier,
                     const std::string& packagePath, Completion completion);

 private:
  PackageUpdater(std::shared_ptr<api::ApiService> apiService, std::string updaterPath,
                 std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
                 std::shared_ptr<StatusReporter> statusReporter,
                 PackageUpdaterEnvironment environment);

  std::shared_ptr<api::ApiService> apiService_;
  std::string updaterPath_;
  std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage_;
  std::shared_ptr<StatusReporter> statusReporter_;
  PackageUpdaterEnvironment environment_;
};

}  // namespace quarn::update
