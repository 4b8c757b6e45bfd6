#include "sysext/system_extension_loader.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/property_list_documents.h"

namespace quarn::sysext {
namespace {

using testing::databaseXml;
using testing::extensionXml;
using testing::policyXml;
using Texts = std::vector<std::string>;

// Starts nothing: keeps the commands and acts as the process, whose output is
// `output`.
struct FakeLauncher final : platform::ProcessLauncher,
                            platform::Process,
                            platform::Pipe,
                            std::enable_shared_from_this<FakeLauncher> {
  platform::Expected<std::shared_ptr<platform::Process>> launch(
      platform::ProcessSpec command, TerminationHandler onTermination) override {
    launches.push_back(std::move(command));
    withHandler = withHandler || static_cast<bool>(onTermination);
    if (launchError) return *launchError;
    return std::shared_ptr<platform::Process>(shared_from_this(), this);
  }
  const std::string& launchPath() const override { return launches.back().launchPath; }
  const Texts& arguments() const override { return launches.back().arguments; }
  platform::Pipe* standardOutput() override {
    return launches.back().pipeStandardOutput ? this : nullptr;
  }
  platform::Pipe* standardError() override { return nullptr; }
  int waitUntilExit() override { return 0; }
  platform::Expected<std::string> readToEnd() override { return output; }

  std::vector<platform::ProcessSpec> launches;
  bool withHandler = false;
  std::optional<platform::Error> launchError;
  platform::Expected<std::string> output = std::string();
};

TEST(SystemExtensionLoaderTest, InstallsWhenAllowedButNotActiveAndLogsTheOutcome) {
  constexpr char kTeam[] = "3RZT8QW5KD";
  constexpr char kExtension[] = "com.kelvane.Orvanta.ProcessMonitor";
  constexpr char kActive[] = "activated_enabled";
  const std::string allowing = policyXml({{kTeam, {"other.ext", kExtension}}});
  const std::string active = extensionXml(kExtension, kActive, kTeam);
  const auto mine = [&](std::optional<std::string> state) {
    return extensionXml(kExtension, state, kTeam);
  };
  const auto records = [&](const Texts& extensions) { return databaseXml({allowing}, extensions); };
  const auto allowedBy = [&](const Texts& identifiers) {
    return databaseXml({policyXml({{kTeam, identifiers}})}, {active});
  };
  const std::string notAllowed =
      "The SysExt \"3RZT8QW5KD.com.kelvane.Orvanta.ProcessMonitor\" is not listed as allowed.";
  const std::string output = "Orvanta Forwarder command output:\n";
  const std::string error = "Orvanta Forwarder command error: ";
  struct Case {
    std::optional<std::string> database;  // absent: no file
    std::string message;                  // the last; an install logs "Installing extension." first
    platform::Expected<std::string> output = std::string("installed\n");
    bool launchFails = false;  // with the output's error
  };
  const Case cases[] = {
      {std::nullopt, "The file db.plist could not be loaded."},
      {records({"<dict><key>state</key><integer>3</integer></dict>"}),
       "Error loading db.plist: Expected a string for extensions[0].state, found an integer."},
      {databaseXml({}, {active}), notAllowed},
      {allowedBy({"com.kelvane.Orvanta", kExtension + std::string(".2"),
                  "com.kelvane.orvanta.processmonitor"}),
       notAllowed},
      {databaseXml({policyXml({{"OTHER", {kExtension}}})}, {active}), notAllowed},
      {databaseXml({policyXml({}), policyXml({{"OTHER", {kExtension}}}), policyXml({{kTeam, {}}}),
                    allowing},
                   {mine("activated_waiting"), active}),
       "The System extension is already active."},
      {records({}), output + "installed\n"},
      {records({mine("activated_disabled"), mine(std::nullopt), mine("Activated_Enabled"),
                extensionXml(kExtension, kActive, std::nullopt),
                extensionXml(kExtension, kActive, "OTHER"),
                extensionXml(std::nullopt, kActive, kTeam)}),
       output + "installed\n"},
      {records({}), error + "The 'install-extension' command did not produce any output.",
       std::string()},
      {records({}), output, std::string("\xFF")},  // not UTF-8
      {records({}), error + "Reading: Input/output error", platform::posixError(EIO, "Reading")},
      {records({}), error + "/bin/zsh: Resource temporarily unavailable",
       platform::posixError(EAGAIN, "/bin/zsh"), true},
  };
  char folder[] = "/tmp/quarn-sysext-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dbPath = std::string(folder) + "/db.plist";
  const auto sink = std::make_shared<quarn::testing::MemoryLogSink>();
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    std::filesystem::remove(dbPath);
    if (c.database) std::ofstream(dbPath) << *c.database;
    sink->clear();
    auto launcher = std::make_shared<FakeLauncher>();
    launcher->output = c.output;
    if (c.launchFails) launcher->launchError = c.output.error();
    SystemExtensionLoader("/Orvanta\\ Forwarder.app/tool",
                          platform::Logger("com.kelvane.Orvanta.quarn", "Orvanta Quarn", sink),
                          kTeam, kExtension, dbPath, platform::makeFileSystem(), launcher,
                          "/bin/zsh")
        .ensureExtensionActive();
    const bool installs = c.message.starts_with("Orvanta Forwarder command");
    const Texts expected = installs ? Texts{"Installing extension.", c.message} : Texts{c.message};
    EXPECT_EQ(sink->messages(), expected);
    for (const auto& record : sink->records())
      EXPECT_EQ(record.redactedText, record.text);  // public
    ASSERT_EQ(launcher->launches.size(), installs ? 1u : 0u);
    if (!installs) continue;
    EXPECT_EQ(launcher->launches[0].launchPath, "/bin/zsh");
    EXPECT_EQ(launcher->launches[0].arguments,
              (Texts{"-c", "/Orvanta\\ Forwarder.app/tool install-extension"}));
    EXPECT_TRUE(launcher->launches[0].pipeStandardOutput &&
                !launcher->launches[0].pipeStandardError && !launcher->withHandler);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quarn::sysext
