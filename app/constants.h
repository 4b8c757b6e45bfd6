// The fixed values the agent is built from. Nothing is read at run time: no
// arguments, environment or configuration file changes any of these. Only
// app/ reads them; every other object gets its values at construction.
#pragma once

#include <string_view>

namespace quarn::app {

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

// Log subsystem of the agent and the category of the extension check.
inline constexpr std::string_view kLogSubsystem = "com.kelvane.Orvanta.quarn";
inline constexpr std::string_view kSystemExtensionLoaderLogCategory = "Orvanta Quarn";

}  // namespace quarn::app
