#include "sysext/system_extension_loader.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "sysext/test_documents.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::sysext {
namespace {

using testing::databaseXml;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::encode;
using testing::extensionXml;
using testing::Format;
using testing::policyXml;

constexpr char kTeam[] = "3RZT8QW5KD";
constexpr char kExtension[] = "com.kelvane.Orvanta.ProcessMonitor";
constexpr char kActive[] = "activated_enabled";

constexpr char kNotLoaded[] = "The file db.plist could not be loaded.";
constexpr char kNotAllowed[] =
    "The SysExt \"3RZT8QW5KD.com.kelvane.Orvanta.ProcessMonitor\" is not listed as allowed.";
constexpr char kAlreadyActive[] = "The System extension is already active.";
constexpr char kInstalling[] = "Installing extension.";
constexpr char kSilent[] =
    "Orvanta Forwarder command error: The 'install-extension' command did not produce any output.";
constexpr char kFormatError[] = "The data couldn't be read because it isn't in the correct format.";

// A launcher that records what it is asked to start and hands out a process
// with scripted output.
class FakeProcessLauncher final : public platform::ProcessLauncher {
 public:
  class FakeProcess final : public platform::Process, public platform::Pipe {
   public:
    FakeProcess(platform::ProcessSpec command, FakeProcessLauncher& launcher)
        : spec_(std::move(command)), launcher_(launcher) {}
    const std::string& launchPath() const override { return spec_.launchPath; }
    const std::vector<std::string>& arguments() const override { return spec_.arguments; }
    platform::Pipe* standardOutput() override { return spec_.pipeStandardOutput ? this : nullptr; }
    platform::Pipe* standardError() override { return nullptr; }
    int waitUntilExit() override {
      launcher_.events.push_back("wait");
      return 0;
    }
    platform::Expected<std::string> readToEnd() override {
      launcher_.events.push_back("read");
      return launcher_.output;
    }

   private:
    platform::ProcessSpec spec_;
    FakeProcessLauncher& launcher_;
  };

  platform::Expected<std::shared_ptr<platform::Process>> launch(
      platform::ProcessSpec command, TerminationHandler onTermination) override {
    launches.push_back(command);
    hadTerminationHandler = hadTerminationHandler || static_cast<bool>(onTermination);
    if (launchError) return *launchError;
    return std::shared_ptr<platform::Process>(std::make_shared<FakeProcess>(command, *this));
  }

  std::vector<platform::ProcessSpec> launches;
  std::vector<std::string> events;
  bool hadTerminationHandler = false;
  std::optional<platform::Error> launchError;
  platform::Expected<std::string> output = std::string("installed\n");
};

std::string makeTemporaryFolder() {
  char directory[] = "/tmp/quarn-sysext-XXXXXX";
  if (mkdtemp(directory) == nullptr) std::abort();
  return directory;
}

class LoaderTest : public ::testing::Test {
 protected:
  ~LoaderTest() override { std::filesystem::remove_all(directory_); }

  void writeDatabase(const std::string& bytes) {
    std::ofstream(dbPath_, std::ios::binary) << bytes;
  }

  SystemExtensionLoader loader(std::shared_ptr<platform::ProcessLauncher> launcher,
                               std::string forwarderPath = "/forwarder\\ path/tool",
                               std::string shell = SystemExtensionLoader::kDefaultShellPath) {
    return SystemExtensionLoader(
        std::move(forwarderPath),
        platform::Logger("com.kelvane.Orvanta.quarn", "Orvanta Quarn", sink_), kTeam, kExtension,
        dbPath_, platform::makeFileSystem(), std::move(launcher), std::move(shell));
  }

  // Every record went to the loader's logger with its arguments public.
  void expectPublicRecordsOfTheLoader() {
    for (const auto& record : sink_->records()) {
      EXPECT_EQ(record.subsystem, "com.kelvane.Orvanta.quarn");
      EXPECT_EQ(record.category, "Orvanta Quarn");
      EXPECT_EQ(record.redactedText, record.text);
    }
  }

  const std::string directory_ = makeTemporaryFolder();
  const std::string dbPath_ = directory_ + "/db.plist";
  std::shared_ptr<quarn::testing::MemoryLogSink> sink_ =
      std::make_shared<quarn::testing::MemoryLogSink>();
};

const std::string kAllowingPolicy = policyXml({{kTeam, {"other.ext", kExtension}}});

std::vector<std::string> installed() {
  return {kInstalling, "Orvanta Forwarder command output:\ninstalled\n"};
}

TEST_F(LoaderTest, LogsAndInstallsAsTheDatabaseSays) {
  const std::string active = extensionXml(kExtension, kActive, kTeam);
  const auto inState = [](std::optional<std::string> state) {
    return extensionXml(kExtension, std::move(state), kTeam);
  };
  struct Case {
    const char* name;
    std::optional<std::string> databaseXml;  // absent: no file
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"no file", std::nullopt, {kNotLoaded}},
      {"an empty file", "", {std::string("Error loading db.plist: ") + kFormatError}},
      {"a state that is a number",
       databaseXml({kAllowingPolicy}, {"<dict><key>identifier</key><string>x</string>"
                                       "<key>state</key><integer>3</integer></dict>"}),
       {"Error loading db.plist: Expected a string for extensions[0].state, found an integer."}},
      {"no policies", databaseXml({}, {active}), {kNotAllowed}},
      {"the team lists other extensions",
       databaseXml({policyXml({{kTeam, {"com.kelvane.Orvanta.Other"}}})}, {active}),
       {kNotAllowed}},
      {"allowed only under another team",
       databaseXml({policyXml({{"OTHERTEAM1", {kExtension}}})}, {}),
       {kNotAllowed}},
      {"allowed only in another case",
       databaseXml({policyXml({{kTeam, {"com.kelvane.orvanta.processmonitor"}}})}, {}),
       {kNotAllowed}},
      {"allowed by a later policy",
       databaseXml({policyXml({}), policyXml({{kTeam, {}}}), kAllowingPolicy}, {active}),
       {kAlreadyActive}},
      {"the active record first of two",
       databaseXml({kAllowingPolicy}, {active, inState("terminated_waiting_to_uninstall")}),
       {kAlreadyActive}},
      {"the active record second of two",
       databaseXml({kAllowingPolicy}, {inState("activated_waiting_for_user"), active}),
       {kAlreadyActive}},
      {"no records", databaseXml({kAllowingPolicy}, {}), installed()},
      {"not enabled", databaseXml({kAllowingPolicy}, {inState("activated_disabled")}), installed()},
      {"no state", databaseXml({kAllowingPolicy}, {inState(std::nullopt)}), installed()},
      {"the state in another case", databaseXml({kAllowingPolicy}, {inState("Activated_Enabled")}),
       installed()},
      {"an active record without a team",
       databaseXml({kAllowingPolicy}, {extensionXml(kExtension, kActive, std::nullopt)}),
       installed()},
      {"active only under another team",
       databaseXml({kAllowingPolicy}, {extensionXml(kExtension, kActive, "OTHERTEAM1"),
                                       extensionXml(std::nullopt, kActive, kTeam)}),
       installed()},
  };
  for (const Format format : {Format::kXml, Format::kBinary}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(testing::formatName(format)) + ": " + c.name);
      std::filesystem::remove(dbPath_);
      if (c.databaseXml) writeDatabase(encode(*c.databaseXml, format));
      sink_->clear();
      auto launcher = std::make_shared<FakeProcessLauncher>();
      loader(launcher).ensureExtensionActive();

      EXPECT_THAT(sink_->messages(), ElementsAreArray(c.messages));
      EXPECT_EQ(launcher->launches.size(), c.messages == installed() ? 1u : 0u);
      expectPublicRecordsOfTheLoader();
    }
  }
}

TEST(IsExtensionAllowedTest, SkipsAbsentPoliciesAndLists) {
  using Policies = std::vector<std::optional<ExtensionPolicy>>;
  const ExtensionPolicy absentList{{{"T", std::nullopt}}};
  const ExtensionPolicy allows{{{"T", std::vector<std::string>{"a", "E"}}}};
  const ExtensionPolicy empty{};

  EXPECT_FALSE(SystemExtensionLoader::isExtensionAllowed("T", "E", Policies{}));
  EXPECT_FALSE(SystemExtensionLoader::isExtensionAllowed(
      "T", "E", Policies{std::nullopt, absentList, empty}));
  EXPECT_TRUE(SystemExtensionLoader::isExtensionAllowed(
      "T", "E", Policies{std::nullopt, absentList, empty, allows}));
  EXPECT_FALSE(SystemExtensionLoader::isExtensionAllowed("t", "E", Policies{allows}));
  EXPECT_FALSE(SystemExtensionLoader::isExtensionAllowed("T", "E ", Policies{allows}));
  EXPECT_FALSE(SystemExtensionLoader::isExtensionAllowed("T", "", Policies{allows}));
}

TEST_F(LoaderTest, InstallRunsTheForwarderThroughTheShellAndWaits) {
  auto launcher = std::make_shared<FakeProcessLauncher>();
  loader(launcher, "/Applications/Orvanta\\ Forwarder.app/Contents/MacOS/Orvanta\\ Forwarder")
      .installExtension();

  ASSERT_EQ(launcher->launches.size(), 1u);
  const platform::ProcessSpec& command = launcher->launches[0];
  EXPECT_EQ(command.launchPath, "/bin/zsh");
  EXPECT_THAT(command.arguments,
              ElementsAre("-c",
                          "/Applications/Orvanta\\ Forwarder.app/Contents/MacOS/Orvanta\\ "
                          "Forwarder install-extension"));
  EXPECT_TRUE(command.pipeStandardOutput);
  EXPECT_FALSE(command.pipeStandardError);
  EXPECT_FALSE(launcher->hadTerminationHandler);
  EXPECT_THAT(launcher->events, ElementsAre("read", "wait"));
  EXPECT_THAT(sink_->messages(), ElementsAreArray(installed()));
  expectPublicRecordsOfTheLoader();
}

TEST_F(LoaderTest, AnOutputThatCannotBeReadIsLoggedAsAnError) {
  auto launcher = std::make_shared<FakeProcessLauncher>();
  launcher->output = platform::posixError(EIO, "Reading the output of /bin/zsh");
  loader(launcher).installExtension();
  EXPECT_THAT(sink_->messages(),
              ElementsAre(kInstalling,
                          "Orvanta Forwarder command error: Reading the output of /bin/zsh: "
                          "Input/output error"));
  EXPECT_THAT(launcher->events, ElementsAre("read", "wait"));
  expectPublicRecordsOfTheLoader();
}

TEST_F(LoaderTest, AShellThatCannotStartIsLoggedAndTheCheckEnds) {
  auto launcher = std::make_shared<FakeProcessLauncher>();
  launcher->launchError = platform::posixError(EAGAIN, "/bin/zsh");
  writeDatabase(databaseXml({kAllowingPolicy}, {}));
  loader(launcher).ensureExtensionActive();
  EXPECT_THAT(sink_->messages(),
              ElementsAre(kInstalling,
                          "Orvanta Forwarder command error: /bin/zsh: Resource temporarily "
                          "unavailable"));
  EXPECT_TRUE(launcher->events.empty());
}

// The whole check, with a (binary) database that allows the extension but
// does not show it enabled, runs the real command. The forwarder stand-in, a
// /bin/sh script, lives under a folder with a space in its name, as the real
// forwarder does; the loader gets its path as one escaped shell word.
TEST_F(LoaderTest, LogsWhatTheRealCommandPrinted) {
  writeDatabase(encode(
      databaseXml({kAllowingPolicy}, {extensionXml(kExtension, "activated_disabled", kTeam)}),
      Format::kBinary));
  const std::string folder = directory_ + "/Orvanta Forwarder.app/Contents/MacOS";
  std::filesystem::create_directories(folder);
  const std::string tool = folder + "/Orvanta Forwarder";
  std::string escaped;
  for (char c : tool) escaped += c == ' ' ? std::string("\\ ") : std::string(1, c);
  const std::string output = "Orvanta Forwarder command output:\n";
  struct Case {
    const char* name;
    std::optional<std::string> script;  // absent: no forwarder there
    std::string lastMessage;
    std::string shell = SystemExtensionLoader::kDefaultShellPath;
  };
  const Case cases[] = {
      {"text", R"(printf 'argument: %s (%s)\n' "$1" "$#"; echo done)",
       output + "argument: install-extension (1)\ndone\n"},
      {"nothing", "exit 0", kSilent},
      {"only standard error", "echo 'this goes to stderr' >&2", kSilent},
      {"not UTF-8", R"(printf 'caf\351 \377\n')", output},
      {"UTF-8", R"(printf 'caf\303\251 \342\234\223')", output + "café ✓"},
      {"fails after text", "echo 'partial work'; exit 3", output + "partial work\n"},
      {"killed after text", "echo 'before'; kill -KILL $$", output + "before\n"},
      {"larger than a pipe", "head -c 300000 /dev/zero | tr '\\0' a",
       output + std::string(300000, 'a')},
      {"a missing forwarder", std::nullopt, kSilent},
      {"a missing shell", "exit 0",
       "Orvanta Forwarder command error: " + directory_ + "/no-zsh: No such file or directory",
       directory_ + "/no-zsh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tool);
    if (c.script) {
      std::ofstream(tool) << "#!/bin/sh\n" << *c.script << "\n";
      chmod(tool.c_str(), 0755);
    }
    sink_->clear();
    loader(platform::makeProcessLauncher(), escaped, c.shell).ensureExtensionActive();

    EXPECT_THAT(sink_->messages(), ElementsAre(kInstalling, c.lastMessage));
    expectPublicRecordsOfTheLoader();
  }
}

}  // namespace
}  // namespace quarn::sysext
