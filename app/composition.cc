#include "app/composition.h"

#include <string>

#include "app/constants.h"

namespace quarn::app {

Platform systemPlatform() {
  return Platform{platform::systemLogSink(), platform::makeFileSystem(),
                  platform::makeProcessLauncher()};
}

std::shared_ptr<sysext::SystemExtensionLoader> Quarn::makeSystemExtensionLoader(
    const Platform& platform) {
  return std::make_shared<sysext::SystemExtensionLoader>(
      std::string(kOrvantaForwarderPath),
      platform::Logger(std::string(kLogSubsystem), std::string(kSystemExtensionLoaderLogCategory),
                       platform.logSink),
      std::string(kTeamIdentifier), std::string(kExtensionIdentifier),
      std::string(kSystemExtensionsDBPath), platform.fileSystem, platform.processLauncher);
}

int Quarn::run(const Platform& platform) {
  // Held for the whole start, as the later steps of the start will run while
  // it lives.
  const auto systemExtensionLoader = makeSystemExtensionLoader(platform);
  systemExtensionLoader->ensureExtensionActive();
  return 0;
}

}  // namespace quarn::app
