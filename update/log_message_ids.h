// The message identifiers of the records an operator searches the journal for
// (`journalctl MESSAGE_ID=<id>`). Each one is fixed for good: a search written
// today must find tomorrow's records, so an identifier is never changed and
// never given to another record.
#pragma once

#include "platform/logger.h"

namespace quarn::update::message_ids {

// "Update process skipped until 24 hours passed since the last update check."
inline constexpr platform::LogMessageId kUpdateCheckSkipped("c0e077e6169d4b118533156c7378ba80");
// "Update process started."
inline constexpr platform::LogMessageId kUpdateStarted("adad29aae32745a7be2620386848ee4f");
// "Package validated successfully."
inline constexpr platform::LogMessageId kPackageValidated("174aaa2a150e4e13bdfb4c52efb90a1b");
// "Executing 'orvanta-updater': ..."
inline constexpr platform::LogMessageId kUpdaterLaunched("97afda7887064915bf23edafaf204e06");
// "Error downloading the package: ..."
inline constexpr platform::LogMessageId kDownloadFailed("5508aeefbcb74c78ab38b43c9bd6849b");
// "Error reporting installation failed: ..."
inline constexpr platform::LogMessageId kReportFailed("81f0974ec05c4a0dbabf2a2a4549e5af");
// "Another start of quarn is running; this start ends." (logged by the agent's
// start, before the update pipeline)
inline constexpr platform::LogMessageId kAnotherStartRunning("b5be03f95736da9ff6a365b2cd35306f");

}  // namespace quarn::update::message_ids
