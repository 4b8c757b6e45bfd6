// PackageUpdater: keeps the forwarder up to date, one update check per start.
//
// start() runs on the main thread: the 24-hour gate on "UpdateLastRun", the
// new check time, and one update run queued on the main queue after a random
// delay of up to the environment's maximum. The run reads the asset
// identifier, asks the service for pending actions and, for the first action
// that carries an update, downloads the package, validates it and hands it to
// the updater tool; a failure after an action was taken up is reported to the
// service. From the actions answer on, the run continues on the URL session's
// callback thread; only one of its steps is active at a time.
//
// Every run ends exactly once, on every path: it reports its failure when it
// has one to report, then calls the completion that ends the process with
// status 0 (see Run in the .cc). Queued work and network callbacks hold the
// updater weakly: the scheduled run does nothing once it is gone, and a run in
// progress that finds it gone ends there.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "api/api_service.h"
#include "api/file_downloader.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/logger.h"
#include "platform/process.h"
#include "platform/task_queue.h"
#include "platform/url_session.h"
#include "storage/shared_items_storage.h"
#include "update/package_validation.h"

namespace quarn::update {

// The pipeline's own errors; each description is a fixed text.
enum class PackageUpdaterError {
  assetIdentifierNotAvailable,
  actionsResponseDoesNotHaveTheCorrectFormat,
  couldNotBuildActionsUrl,  // no path raises it: the base URL is checked when the agent is composed
  couldNotReadUpdateActionData,  // no path raises it: the actions record is decoded whole
};

platform::Error toError(PackageUpdaterError error);

// What a PackageUpdater needs of the process besides its four fields.
struct PackageUpdaterEnvironment {
  platform::Logger logger;  // the pipeline's: "com.kelvane.Orvanta.quarn" / "Package Updater"
  // The failure reports': "com.kelvane.Orvanta.Updater" / "Package Updater".
  platform::Logger reporterLogger;
  std::shared_ptr<platform::Clock> clock;
  std::shared_ptr<platform::Random> random;
  std::shared_ptr<platform::TaskQueue> mainQueue;
  // The session whose callback thread runs the run from the actions answer
  // on; only asked, by debug checks, whether it is the current thread.
  std::shared_ptr<const platform::UrlSession> urlSession;
  std::shared_ptr<platform::ProcessLauncher> processLauncher;
  PackageValidator packageValidator;
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
  // `apiService` is the process's one service client; failure reports go
  // through it too.
  static std::shared_ptr<PackageUpdater> create(
      std::shared_ptr<api::ApiService> apiService,
      std::shared_ptr<api::FileDownloader> fileDownloader, std::string updaterPath,
      std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
      PackageUpdaterEnvironment environment);

  // Main thread. Ends the process at the gate, or schedules the run.
  void start();

 private:
  class Run;

  PackageUpdater(std::shared_ptr<api::ApiService> apiService,
                 std::shared_ptr<api::FileDownloader> fileDownloader, std::string updaterPath,
                 std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage,
                 PackageUpdaterEnvironment environment);

  // True when more than 24 hours have passed since the stored check time (a
  // missing or unreadable time counts as 0), and when the stored time is not
  // finite or lies more than 24 hours ahead of the clock.
  bool isUpdateCheckDue();
  // Queues `work` on `queue` after a delay drawn uniformly from [0, maximum]
  // (both ends possible) and returns the delay. REQUIRES: maximum >= 0.
  double asyncAfterRandomDelay(platform::TaskQueue& queue, double maximumDelay,
                               platform::TaskQueue::Task work);

  // The steps of a run, each on the thread it asserts. `step()` hands one to
  // a callback.
  template <class... Args>
  auto step(std::shared_ptr<Run> run,
            void (PackageUpdater::*method)(std::shared_ptr<Run>, Args...));
  void runUpdateProcess();
  void handleActions(std::shared_ptr<Run> run,
                     std::optional<api::ForwarderActionsResponse> response,
                     std::optional<platform::Error> error);
  void handleDownload(std::shared_ptr<Run> run, std::optional<platform::Error> error);
  void installPackage(std::shared_ptr<Run> run);
  // Starts the updater tool and ends the run at once, without waiting for the
  // tool. The tool outlives the agent, so it gets no pipes: its standard
  // output and standard error go to a log stream of its own (the pipeline
  // logger's sink decides which), and the agent never reads them.
  void launchUpdater(std::shared_ptr<Run> run);

  bool onMainQueue() const;
  bool onSessionThread() const;

  const std::shared_ptr<api::ApiService> apiService_;
  const std::shared_ptr<api::FileDownloader> fileDownloader_;
  const std::string updaterPath_;
  const std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage_;
  const PackageUpdaterEnvironment environment_;
};

}  // namespace quarn::update
