// The fixed values the agent is built from. Nothing is read at run time: no
// environment or configuration file changes any of these, and the only
// arguments understood (--help, --version) print a text instead of running. Only
// app/ reads them; every other object gets its values at construction.
#pragma once

#include <string_view>

namespace quarn::app {

// The version of this build: the project version of the build files
// (QUARN_VERSION), shown by --version and carried by the Debian package.
inline constexpr std::string_view kVersion = QUARN_VERSION;
// The User-Agent field of every request.
inline constexpr std::string_view kUserAgent = "quarn/" QUARN_VERSION;

// The lock that lets one start of the agent run at a time. The kernel drops it
// when its holder ends, however it ends, so it is never stale.
inline constexpr std::string_view kLockPath = "/run/quarn.lock";

// The forwarder's executable as one shell word: the backslashes before the
// spaces are part of the value, because the loader places it into a shell
// command line.
inline constexpr std::string_view kOrvantaForwarderPath =
    "/Applications/Orvanta\\ Forwarder.app/Contents/MacOS/Orvanta\\ Forwarder";
// The developer team and bundle identifier of the forwarder's process-monitor
// system extension.
inline constexpr std::string_view kTeamIdentifier = "3RZT8QW5KD";
inline constexpr std::string_view kExtensionIdentifier = "com.kelvane.Orvanta.ProcessMonitor";
// The operating system's record of system extensions and policies; read only.
inline constexpr std::string_view kSystemExtensionsDBPath = "/Library/SystemExtensions/db.plist";

// The update service; the build may fix another base URL
// (QUARN_SERVICE_BASE_URL), always an https URL whose path ends in "/".
inline constexpr std::string_view kServiceBaseUrl = QUARN_SERVICE_BASE_URL;
// The forwarder's updater tool: a plain path, started without a shell.
inline constexpr std::string_view kUpdaterPath =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/orvanta-updater.app/Contents/MacOS/"
    "orvanta-updater";
// The name the updater tool's output goes under in the system log.
inline constexpr std::string_view kUpdaterOutputIdentifier = "orvanta-updater";
// The store of items shared with the forwarder's other processes, the service
// and access description of the items saved there, and the paths of the
// applications an item's access list may name.
inline constexpr std::string_view kSharedItemsDatabasePath =
    "/var/lib/orvanta-forwarder/shared-items.sqlite";
inline constexpr std::string_view kSharedItemsService = "Orvanta Forwarder";
inline constexpr std::string_view kSharedItemsAccessDescription = "Shared Item Access";
inline constexpr std::string_view kSystemExtensionApplicationPath =
    "/Applications/Orvanta Forwarder.app/Contents/Library/SystemExtensions/"
    "com.kelvane.Orvanta.ProcessMonitor.systemextension";
inline constexpr std::string_view kMainApplicationPath = "/Applications/Orvanta Forwarder.app";
inline constexpr std::string_view kQuarnApplicationPath =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/quarn.app";
// Where the package is downloaded, validated and handed to the updater.
inline constexpr std::string_view kPackagePath = "/tmp/ForwarderInstallerPackage.pkg";
// The package tool's check, run through the shell with the package path
// appended.
inline constexpr std::string_view kPackageCheckCommandPrefix =
    "/usr/sbin/pkgutil --check-signature ";
inline constexpr std::string_view kShellPath = "/bin/zsh";
// The children the agent waits for, the forwarder's install command and the
// package tool, are killed with their process group after this many seconds.
// Every wait of a start adds up to less than the service unit's start limit.
inline constexpr double kChildTimeLimitSeconds = 600.0;
// The update run waits a random time up to this many seconds.
inline constexpr double kMaximumDelaySeconds = 900.0;
// Seconds one transfer may take in all, name resolution and connection
// included: each send of a service request (the actions request, the failure
// report), and the package download. With the random wait, the retries and the
// children's limits they make the budget that the service unit's
// TimeoutStartSec must stay above.
inline constexpr double kServiceRequestTimeLimitSeconds = 120.0;
inline constexpr double kDownloadTimeLimitSeconds = 7200.0;
// A service request refused with 502 is sent again this many seconds later,
// at most twice.
inline constexpr double kRetryDelaySeconds = 30.0;

// Loggers: subsystem and category.
inline constexpr std::string_view kLogSubsystem = "com.kelvane.Orvanta.quarn";
inline constexpr std::string_view kSystemExtensionLoaderLogCategory = "Orvanta Quarn";
inline constexpr std::string_view kPackageUpdaterLogCategory = "Package Updater";
inline constexpr std::string_view kApiServiceLogCategory = "API Service";
inline constexpr std::string_view kUrlSessionLogCategory = "URL Session";
inline constexpr std::string_view kSharedItemsStorageLogCategory = "Shared Items Storage";
inline constexpr std::string_view kStatusReporterLogSubsystem = "com.kelvane.Orvanta.Updater";
inline constexpr std::string_view kStatusReporterLogCategory = "Package Updater";

}  // namespace quarn::app
