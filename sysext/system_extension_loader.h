// SystemExtensionLoader: makes sure the forwarder's process-monitor system
// extension is active, and has the forwarder application install it when a
// policy allows it but the system extension database does not show it
// "activated_enabled".
//
// The entry point creates one loader, calls ensureExtensionActive() once on
// the main thread and keeps the object for the life of the process. The check
// is synchronous: it reads the database and, when it installs, runs
// "<orvantaForwarderPath> install-extension" through the shell and waits for
// it at most its time limit: at the limit the command is killed with its
// process group, which counts as the command failing. Every outcome, failures
// included, is only logged; the caller always goes on. Not thread-safe;
// nothing in it is shared.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/logger.h"
#include "platform/process.h"
#include "sysext/system_extensions_db.h"

namespace quarn::sysext {

// The loader's fixed values, named where they are given so that two of them
// cannot be swapped unnoticed.
struct SystemExtensionLoaderOptions {
  // The forwarder's executable written as one shell word (spaces escaped with
  // a backslash): it is placed into a shell command line as it is.
  std::string orvantaForwarderPath;
  // The developer team and the extension that must be active.
  std::string teamIdentifier;
  std::string extensionIdentifier;
  std::string systemExtensionsDBPath;
  // The shell that runs the install command line, which is killed after
  // `commandTimeLimit` seconds.
  std::string shellPath;
  double commandTimeLimit = 0;
};

class SystemExtensionLoader {
 public:
  SystemExtensionLoader(SystemExtensionLoaderOptions options, platform::Logger logger,
                        std::shared_ptr<platform::FileSystem> fileSystem,
                        std::shared_ptr<platform::ProcessLauncher> processLauncher);

  // The check: load the database; when the extension is allowed but no record
  // shows it active under our team, installExtension().
  void ensureExtensionActive();

  // Runs the forwarder's install command, waits for it (at most its time
  // limit) and logs its output, or the error that ended the reading.
  void installExtension();

  // The database at systemExtensionsDBPath, or absent (and a log message) when
  // it cannot be read or decoded.
  std::optional<SystemExtensionsDB> loadSystemExtensionsDB();

  // Whether any present policy lists `extensionIdentifier` under
  // `teamIdentifier` (exact, case-sensitive comparisons).
  static bool isExtensionAllowed(
      std::string_view teamIdentifier, std::string_view extensionIdentifier,
      const std::vector<std::optional<ExtensionPolicy>>& extensionPolicies);

 private:
  const SystemExtensionLoaderOptions options_;
  const platform::Logger logger_;
  const std::shared_ptr<platform::FileSystem> fileSystem_;
  const std::shared_ptr<platform::ProcessLauncher> processLauncher_;
};

}  // namespace quarn::sysext
