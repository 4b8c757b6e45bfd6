// The extension database as the agent reads it, and what the loader does and
// logs for each state of it.
#include "sysext/system_extension_loader.h"

#include "gtest/gtest.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_process_launcher.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::sysext {
namespace {

using Texts = std::vector<std::string>;
constexpr char kTeam[] = "3RZT8QW5KD";
constexpr char kExtension[] = "com.kelvane.Orvanta.ProcessMonitor";
constexpr char kActive[] = "activated_enabled";
const SystemExtensionLoaderOptions kOptions{.orvantaForwarderPath = "/Orvanta\\ Forwarder.app/tool",
                                            .teamIdentifier = kTeam,
                                            .extensionIdentifier = kExtension,
                                            .systemExtensionsDBPath = "/db.plist",
                                            .shellPath = "/bin/zsh"};

// A database of the XML elements `policies` and `extensions`.
std::string database(const std::string& policies, const std::string& extensions) {
  return "<plist><dict><key>extensionPolicies</key><array>" + policies +
         "</array><key>extensions</key><array>" + extensions + "</array></dict></plist>";
}

// A policy that allows, of `team`, the extensions named.
std::string allowing(const std::string& team, const Texts& identifiers) {
  std::string names;
  for (const std::string& identifier : identifiers) names += "<string>" + identifier + "</string>";
  return "<dict><key>allowedExtensions</key><dict><key>" + team + "</key><array>" + names +
         "</array></dict></dict>";
}

// An extension record; an empty field is left out.
std::string record(const std::string& identifier, const std::string& state = kActive,
                   const std::string& teamID = kTeam) {
  const auto field = [](const std::string& key, const std::string& value) {
    return value.empty() ? "" : "<key>" + key + "</key><string>" + value + "</string>";
  };
  return "<dict>" + field("identifier", identifier) + field("state", state) +
         field("teamID", teamID) + "</dict>";
}

TEST(SystemExtensionLoaderTest, InstallsWhenAllowedButNotActiveAndLogsTheOutcome) {
  const std::string allowed = allowing(kTeam, {"other.ext", kExtension});
  const auto records = [&](const std::string& extensions) { return database(allowed, extensions); };
  const std::string error = "Orvanta Forwarder command error: ";
  struct Case {
    std::string database;
    std::string message;  // the last; an install logs "Installing extension." first
    // What the shell runs when the command line is the tool's install command.
    testing::FakeProcessLauncher::Child child = {.out = "installed\n"};
  };
  // A fault anywhere in the database fails the whole of it, with a
  // description that names the key path and what it held. (The texts of
  // documents that are no property list are the parser's, tested there; an
  // install command whose output ends in an error is a row of the start's table.)
  const std::string bad = "Error loading db.plist: ";
  const Case cases[] = {
      {records(record(kExtension) + "<dict><key>state</key><integer>1</integer></dict>"),
       bad + "Expected a string for extensions[1].state, found an integer."},
      {database(allowed + "<dict/>", ""),
       bad + "No value for the required key extensionPolicies[1].allowedExtensions."},
      {database(allowing(kTeam, {"com.kelvane.Orvanta", kExtension + std::string(".2"),
                                 "com.kelvane.orvanta.processmonitor"}) +
                    allowing("OTHER", {kExtension}),
                record(kExtension)),
       "The SysExt \"3RZT8QW5KD.com.kelvane.Orvanta.ProcessMonitor\" is not listed as allowed."},
      {database(allowing("OTHER", {kExtension}) + allowing(kTeam, {}) + allowed,
                record(kExtension, "activated_waiting") + record(kExtension)),
       "The System extension is already active."},
      {records(record(kExtension, "") + record(kExtension, "Activated_Enabled") +
               record(kExtension, kActive, "") + record(kExtension, kActive, "OTHER") + record("")),
       "Orvanta Forwarder command output:\ninstalled\n"},
      {records(""), error + "The 'install-extension' command did not produce any output.", {}},
      {records(""), "Orvanta Forwarder command output:\n", {.out = "\xFF"}},  // not UTF-8
      {records(""),
       error + "/bin/zsh: Resource temporarily unavailable",
       {.launchError = platform::posixError(EAGAIN, "/bin/zsh")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    const auto files = std::make_shared<testing::FakeFileSystem>();
    files->setFile("/db.plist", c.database);
    const auto launcher = std::make_shared<testing::FakeProcessLauncher>();
    launcher->script("/bin/zsh -c /Orvanta\\ Forwarder.app/tool install-extension", c.child);
    const auto sink = std::make_shared<testing::MemoryLogSink>();
    SystemExtensionLoader(kOptions, platform::Logger("s", "c", sink), files, launcher)
        .ensureExtensionActive();
    const bool installs = c.message.starts_with("Orvanta Forwarder command");
    EXPECT_EQ(sink->messages(),
              (installs ? Texts{"Installing extension.", c.message} : Texts{c.message}));
  }
}

}  // namespace
}  // namespace quarn::sysext
