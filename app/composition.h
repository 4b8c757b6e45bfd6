// Quarn: the agent's entry operation and the composition of its long-lived
// objects from the constants in app/constants.h.
//
// The platform pieces come in as arguments so that tests build the same graph
// on fakes; main() hands in the real ones. Runs on the main thread.
#pragma once

#include <memory>

#include "platform/file_system.h"
#include "platform/logger.h"
#include "platform/process.h"
#include "sysext/system_extension_loader.h"

namespace quarn::app {

// The platform services the agent is composed on.
struct Platform {
  std::shared_ptr<platform::LogSink> logSink;
  std::shared_ptr<platform::FileSystem> fileSystem;
  std::shared_ptr<platform::ProcessLauncher> processLauncher;
};

// The real services: the system log, the file system, child processes.
Platform systemPlatform();

// The application type: never instantiated, it only carries the entry
// operation.
class Quarn {
 public:
  Quarn() = delete;

  // The loader of the forwarder's process-monitor extension, with its fixed
  // paths, identifiers and logger.
  static std::shared_ptr<sysext::SystemExtensionLoader> makeSystemExtensionLoader(
      const Platform& platform);

  // One start of the agent: the system extension check, whatever it finds or
  // does. Returns the process's exit status, 0.
  static int run(const Platform& platform);
};

}  // namespace quarn::app
