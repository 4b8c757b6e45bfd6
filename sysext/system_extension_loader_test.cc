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
      return launcher_.exitStatus;
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
  int exitStatus = 0;
};

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char directory[] = "/tmp/quarn-sysext-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    directory_ = directory;
    dbPath_ = directory_ + "/db.plist";
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

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

  std::string directory_;
  std::string dbPath_;
  std::shared_ptr<quarn::testing::MemoryLogSink> sink_ =
      std::make_shared<quarn::testing::MemoryLogSink>();
};

// --- The decision --------------------------------------------------------------

struct DecisionCase {
  const char* name;
  std::optional<std::string> databaseXml;  // absent: no file
  std::vector<std::string> messages;
  bool installs;
};

const std::string kAllowingPolicy = policyXml({{kTeam, {"other.ext", kExtension}}});
const std::string kActiveRecord = extensionXml(kExtension, kActive, kTeam);

std::vector<std::string> installed() {
  return {kInstalling, "Orvanta Forwarder command output:\ninstalled\n"};
}

class DecisionTest : public LoaderTest,
                     public ::testing::WithParamInterface<std::tuple<Format, DecisionCase>> {};

TEST_P(DecisionTest, LogsAndInstallsAsTheDatabaseSays) {
  const auto& [format, c] = GetParam();
  if (c.databaseXml) writeDatabase(encode(*c.databaseXml, format));
  auto launcher = std::make_shared<FakeProcessLauncher>();
  loader(launcher).ensureExtensionActive();

  EXPECT_THAT(sink_->messages(), ElementsAreArray(c.messages));
  EXPECT_EQ(launcher->launches.size(), c.installs ? 1u : 0u);
  expectPublicRecordsOfTheLoader();
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecisionTest,
    ::testing::Combine(
        ::testing::Values(Format::kXml, Format::kBinary),
        ::testing::Values(
            DecisionCase{"MissingFile", std::nullopt, {kNotLoaded}, false},
            DecisionCase{
                "EmptyFile", "", {std::string("Error loading db.plist: ") + kFormatError}, false},
            DecisionCase{"OnlyExtensionsKey",
                         testing::xmlDocument("<dict><key>extensions</key><array/></dict>"),
                         {"Error loading db.plist: No value for the required key "
                          "extensionPolicies."},
                         false},
            DecisionCase{
                "StateIsANumber",
                databaseXml({kAllowingPolicy}, {"<dict><key>identifier</key><string>x</string>"
                                                "<key>state</key><integer>3</integer></dict>"}),
                {"Error loading db.plist: Expected a string for extensions[0].state, "
                 "found an integer."},
                false},
            DecisionCase{"NoPolicies", databaseXml({}, {kActiveRecord}), {kNotAllowed}, false},
            DecisionCase{
                "TeamListedWithoutTheExtension",
                databaseXml({policyXml({{kTeam, {"com.kelvane.Orvanta.Other"}}})}, {kActiveRecord}),
                {kNotAllowed},
                false},
            DecisionCase{"AllowedOnlyUnderAnotherTeam",
                         databaseXml({policyXml({{"OTHERTEAM1", {kExtension}}})}, {}),
                         {kNotAllowed},
                         false},
            DecisionCase{
                "AllowedOnlyInAnotherCase",
                databaseXml({policyXml({{kTeam, {"com.kelvane.orvanta.processmonitor"}}})}, {}),
                {kNotAllowed},
                false},
            DecisionCase{"AllowedByALaterPolicy",
                         databaseXml({policyXml({}), policyXml({{kTeam, {}}}), kAllowingPolicy},
                                     {kActiveRecord}),
                         {kAlreadyActive},
                         false},
            DecisionCase{"AllowedAndActive",
                         databaseXml({kAllowingPolicy}, {kActiveRecord}),
                         {kAlreadyActive},
                         false},
            DecisionCase{"AllowedAndNoRecords", databaseXml({kAllowingPolicy}, {}), installed(),
                         true},
            DecisionCase{"AllowedAndNotEnabled",
                         databaseXml({kAllowingPolicy},
                                     {extensionXml(kExtension, "activated_disabled", kTeam)}),
                         installed(), true},
            DecisionCase{
                "AllowedAndStateMissing",
                databaseXml({kAllowingPolicy}, {extensionXml(kExtension, std::nullopt, kTeam)}),
                installed(), true},
            DecisionCase{
                "ActiveRecordWithoutTeam",
                databaseXml({kAllowingPolicy}, {extensionXml(kExtension, kActive, std::nullopt)}),
                installed(), true},
            DecisionCase{
                "ActiveOnlyUnderAnotherTeam",
                databaseXml({kAllowingPolicy}, {extensionXml(kExtension, kActive, "OTHERTEAM1"),
                                                extensionXml(std::nullopt, kActive, kTeam)}),
                installed(), true},
            DecisionCase{
                "ActiveRecordFirstOfTwo",
                databaseXml({kAllowingPolicy},
                            {kActiveRecord,
                             extensionXml(kExtension, "terminated_waiting_to_uninstall", kTeam)}),
                {kAlreadyActive},
                false},
            DecisionCase{"ActiveRecordSecondOfTwo",
                         databaseXml({kAllowingPolicy},
                                     {extensionXml(kExtension, "activated_waiting_for_user", kTeam),
                                      kActiveRecord}),
                         {kAlreadyActive},
                         false},
            DecisionCase{"StateDiffersInCase",
                         databaseXml({kAllowingPolicy},
                                     {extensionXml(kExtension, "Activated_Enabled", kTeam)}),
                         installed(), true})),
    [](const ::testing::TestParamInfo<std::tuple<Format, DecisionCase>>& info) {
      return std::string(testing::formatName(std::get<0>(info.param))) +
             std::get<1>(info.param).name;
    });

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

// --- The install command through a fake launcher ------------------------------------

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
  ASSERT_EQ(sink_->records().size(), 2u);
  EXPECT_EQ(sink_->records()[1].format, "Orvanta Forwarder command output:\n%{public}s");
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

// --- The install command for real, through zsh --------------------------------------

struct CommandCase {
  const char* name;
  std::string script;  // body of the forwarder stand-in, a /bin/sh script
  std::string lastMessage;
};

class RealCommandTest : public LoaderTest, public ::testing::WithParamInterface<CommandCase> {};

// The stand-in lives under a folder with a space in its name, as the real
// forwarder does; the loader gets its path as one escaped shell word.
TEST_P(RealCommandTest, LogsWhatTheCommandPrinted) {
  const std::string folder = directory_ + "/Orvanta Forwarder.app/Contents/MacOS";
  std::filesystem::create_directories(folder);
  const std::string tool = folder + "/Orvanta Forwarder";
  std::ofstream(tool) << "#!/bin/sh\n" << GetParam().script << "\n";
  chmod(tool.c_str(), 0755);
  std::string escaped;
  for (char c : tool) escaped += c == ' ' ? std::string("\\ ") : std::string(1, c);

  loader(platform::makeProcessLauncher(), escaped).installExtension();

  EXPECT_THAT(sink_->messages(), ElementsAre(kInstalling, GetParam().lastMessage));
  expectPublicRecordsOfTheLoader();
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RealCommandTest,
    ::testing::Values(
        CommandCase{"Text", R"(printf 'argument: %s (%s)\n' "$1" "$#"; echo done)",
                    "Orvanta Forwarder command output:\nargument: install-extension (1)\ndone\n"},
        CommandCase{"Nothing", "exit 0", kSilent},
        CommandCase{"OnlyStandardError", "echo 'this goes to stderr' >&2", kSilent},
        CommandCase{"NotUtf8", R"(printf 'caf\351 \377\n')", "Orvanta Forwarder command output:\n"},
        CommandCase{"Utf8", R"(printf 'caf\303\251 \342\234\223')",
                    "Orvanta Forwarder command output:\ncafé ✓"},
        CommandCase{"FailsAfterText", "echo 'partial work'; exit 3",
                    "Orvanta Forwarder command output:\npartial work\n"},
        CommandCase{"KilledAfterText", "echo 'before'; kill -KILL $$",
                    "Orvanta Forwarder command output:\nbefore\n"},
        CommandCase{"LargerThanAPipe", "head -c 300000 /dev/zero | tr '\\0' a",
                    "Orvanta Forwarder command output:\n" + std::string(300000, 'a')}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST_F(LoaderTest, AMissingForwarderPrintsNothingToStandardOutput) {
  loader(platform::makeProcessLauncher(), directory_ + "/missing\\ forwarder").installExtension();
  EXPECT_THAT(sink_->messages(), ElementsAre(kInstalling, kSilent));
}

TEST_F(LoaderTest, AMissingShellIsLoggedAsACommandError) {
  loader(platform::makeProcessLauncher(), "/bin/true", directory_ + "/no-zsh").installExtension();
  EXPECT_THAT(sink_->messages(),
              ElementsAre(kInstalling, "Orvanta Forwarder command error: " + directory_ +
                                           "/no-zsh: No such file or directory"));
}

TEST_F(LoaderTest, FullCheckRunsTheRealCommandWhenAllowedButInactive) {
  const std::string tool = directory_ + "/forwarder";
  std::ofstream(tool) << "#!/bin/sh\necho \"forwarder $1\"\n";
  chmod(tool.c_str(), 0755);
  writeDatabase(encode(
      databaseXml({kAllowingPolicy}, {extensionXml(kExtension, "activated_disabled", kTeam)}),
      Format::kBinary));
  loader(platform::makeProcessLauncher(), tool).ensureExtensionActive();
  EXPECT_THAT(sink_->messages(), ElementsAre(kInstalling,
                                             "Orvanta Forwarder command output:\nforwarder "
                                             "install-extension\n"));
}

}  // namespace
}  // namespace quarn::sysext
