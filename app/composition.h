// The agent's entry operation, run(), and the composition of its long-lived
// objects.
//
// The composition is a function of its constants and its platform services:
// main() hands in the shipped constants (app/constants.h) and the real
// services; tests build the same object graph with temporary paths, a
// loopback service and fakes (clock, random, run loop, exit). Runs on the main
// thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/keychain.h"
#include "platform/logger.h"
#include "platform/process.h"
#include "platform/task_queue.h"
#include "platform/url_session.h"
#include "storage/keychain_shared_items_storage.h"
#include "storage/shared_items_storage.h"
#include "sysext/system_extension_loader.h"
#include "update/package_updater.h"

namespace quarn::app {

// Every value the agent is built from.
struct Constants {
  std::string lockPath;
  std::string orvantaForwarderPath;
  std::string teamIdentifier;
  std::string extensionIdentifier;
  std::string systemExtensionsDBPath;
  std::string serviceBaseUrl;
  std::string updaterPath;
  std::string updaterOutputIdentifier;
  std::string sharedItemsDatabasePath;
  storage::KeychainItemAttributes sharedItemAttributes;
  std::string packagePath;
  std::string packageCheckCommandPrefix;
  std::string shellPath;
  double maximumDelay = 0.0;
  double childTimeLimit = 0.0;           // seconds; the install command's and the package tool's
  std::string userAgent;                 // sent with every request
  double serviceRequestTimeLimit = 0.0;  // seconds per send of a service request
  double downloadTimeLimit = 0.0;        // seconds for the package download
  double retryDelay = 0.0;               // seconds between a refused service answer and its retry
};

// The values of app/constants.h.
Constants shippedConstants();

// The platform services the agent is composed on.
struct Platform {
  std::shared_ptr<platform::LogSink> logSink;
  std::shared_ptr<platform::FileSystem> fileSystem;
  std::shared_ptr<platform::ProcessLauncher> processLauncher;
  std::shared_ptr<platform::RunLoop> mainLoop;
  std::shared_ptr<platform::UrlSession> urlSession;
  // The store of the shared items.
  std::shared_ptr<platform::Keychain> keychain;
  std::shared_ptr<platform::Clock> clock;
  std::shared_ptr<platform::Random> random;
  // Ends the process with a status; in the agent it does not return.
  std::function<void(int)> exitProcess;
};

// The real services, the keychain on constants.sharedItemsDatabasePath with
// its failures in the log. The process ends with _exit once its log is written:
// the URL session's thread and child watchers may still be running, and
// static destructors must not run under them.
Platform systemPlatform(const Constants& constants);

std::shared_ptr<sysext::SystemExtensionLoader> makeSystemExtensionLoader(const Constants& constants,
                                                                         const Platform& platform);
// The shared items, kept in the platform's keychain.
std::shared_ptr<storage::SharedItemsStorage> makeSharedItemsStorage(const Constants& constants,
                                                                    const Platform& platform);
// The PackageUpdater with the process's one ApiService on the service base
// URL, which the failure reports use too, and the FileDownloader of the
// package. Stops the process when the base URL does not parse, which only a
// broken build can cause.
std::shared_ptr<update::PackageUpdater> makePackageUpdater(
    std::shared_ptr<storage::SharedItemsStorage> sharedItemsStorage, const Constants& constants,
    const Platform& platform);

// One start: the lock, the system extension check, the update gate and
// schedule, then the main run loop until the run ends the process. A start
// that cannot take the lock logs why and ends the process with status 0
// before anything else. Returns 0 if the loop ever returns.
int run(const Constants& constants, const Platform& platform);

}  // namespace quarn::app
