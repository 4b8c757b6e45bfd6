// The agent composed as it ships, on test values: temporary paths, stand-in
// tools, a loopback HTTPS service and virtual time.
#include "app/composition.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "api/file_download.h"
#include "app/constants.h"
#include "platform/url_session.h"
#include "tests/support/fake_clock.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"
#include "update/last_run_text.h"

namespace quarn::app {
namespace {

namespace fs = std::filesystem;
using storage::SharedItem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr double kNow = 1'765'000'000.0;

const char kSevenLines[] =
    "Package \"ForwarderInstallerPackage.pkg\":\n"
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Notarization: trusted by the Apple notary service\n"
    "   Certificate Chain:\n"
    "    1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)\n"
    "    2. Developer ID Certification Authority\n"
    "    3. Apple Root CA\n"
    "       B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
    "       68 C5 BE 91 B5 A1 10 01 F0 24\n";

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeExecutable(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
  fs::permissions(path, fs::perms::owner_all);
}

std::string database(const std::string& state) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>extensionPolicies</key><array><dict><key>allowedExtensions</key><dict>
    <key>3RZT8QW5KD</key><array><string>com.kelvane.Orvanta.ProcessMonitor</string></array>
  </dict></dict></array>
  <key>extensions</key><array><dict>
    <key>identifier</key><string>com.kelvane.Orvanta.ProcessMonitor</string>
    <key>state</key><string>)" +
         state + R"(</string>
    <key>teamID</key><string>3RZT8QW5KD</string>
  </dict></array>
</dict></plist>)";
}

// The real launcher, keeping every child so a test can wait for it.
class RecordingLauncher final : public platform::ProcessLauncher {
 public:
  platform::Expected<std::shared_ptr<platform::Process>> launch(
      platform::ProcessSpec command, TerminationHandler onTermination) override {
    // Wrap the handler so a test can wait until it has run.
    TerminationHandler handler;
    const bool wrapped = static_cast<bool>(onTermination);
    if (wrapped) {
      {
        std::lock_guard lock(mutex_);
        ++handlersPending_;
      }
      handler = [this, inner = std::move(onTermination)](platform::Process& process) mutable {
        std::move(inner)(process);
        std::lock_guard lock(mutex_);
        --handlersPending_;
        handlersDone_.notify_all();
      };
    }
    auto launched = real_->launch(command, std::move(handler));
    std::lock_guard lock(mutex_);
    // A child that did not start never runs its handler.
    if (!launched && wrapped) --handlersPending_;
    launches_.push_back(command);
    if (launched) children_.push_back(*launched);
    return launched;
  }
  std::vector<platform::ProcessSpec> launches() const {
    std::lock_guard lock(mutex_);
    return launches_;
  }
  // Waits until every child has ended and its termination handler has run.
  void waitForChildren() {
    std::unique_lock lock(mutex_);
    for (const auto& child : children_) child->waitUntilExit();
    handlersDone_.wait(lock, [this] { return handlersPending_ == 0; });
  }

 private:
  std::shared_ptr<platform::ProcessLauncher> real_ = platform::makeProcessLauncher();
  mutable std::mutex mutex_;
  std::vector<platform::ProcessSpec> launches_;
  std::vector<std::shared_ptr<platform::Process>> children_;
  int handlersPending_ = 0;
  std::condition_variable handlersDone_;
};

// The test's log: records go to `records`; a child that asks for a stream of
// its own gets the file "<identifier>.log" in `folder`.
class TestLogSink final : public platform::LogSink {
 public:
  TestLogSink(std::shared_ptr<testing::MemoryLogSink> records, fs::path folder)
      : records_(std::move(records)), folder_(std::move(folder)) {}
  void write(const platform::LogRecord& record) override { records_->write(record); }
  platform::FileDescriptor childOutput(std::string_view identifier) override {
    const fs::path path = folder_ / (std::string(identifier) + ".log");
    return platform::FileDescriptor(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  }

 private:
  std::shared_ptr<testing::MemoryLogSink> records_;
  fs::path folder_;
};

class QuarnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quarn-agent-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    writeExecutable(dir_ / "forwarder", "#!/bin/sh\necho \"installed $1\"\n");
    writeExecutable(
        dir_ / "updater",
        "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$(dirname \"$0\")/args\"\n"
        "echo updating; echo warning >&2\n");
    writeExecutable(dir_ / "pkgutil",
                    "#!/bin/sh\nd=$(dirname \"$0\")\ncat \"$d/pkgutil.out\"\n"
                    "exit $(cat \"$d/pkgutil.status\")\n");
    packageTool(kSevenLines, 0);
  }
  void TearDown() override {
    launcher_->waitForChildren();
    fs::remove_all(dir_);
  }

  Constants constants() const {
    Constants c = shippedConstants();
    c.orvantaForwarderPath = (dir_ / "forwarder").string();
    c.systemExtensionsDBPath = (dir_ / "db.plist").string();
    c.serviceBaseUrl = server_.url("/v1/");
    c.updaterPath = (dir_ / "updater").string();
    c.sharedItemsDatabasePath = (dir_ / "store" / "shared-items.sqlite").string();
    c.packagePath = (dir_ / "ForwarderInstallerPackage.pkg").string();
    c.packageCheckCommandPrefix = (dir_ / "pkgutil").string() + " --check-signature ";
    return c;
  }

  Platform platform() {
    return Platform{
        .logSink = std::make_shared<TestLogSink>(sink_, dir_),
        .fileSystem = platform::makeFileSystem(),
        .processLauncher = launcher_,
        .mainLoop = loop_,
        .urlSession =
            platform::makeUrlSession({.connectTimeout = 5, .caFile = server_.caFile()},
                                     platform::Logger(std::string(kLogSubsystem),
                                                      std::string(kUrlSessionLogCategory), sink_)),
        .keychain = platform::makeSqliteKeychain(
            constants().sharedItemsDatabasePath,
            platform::Logger(std::string(kLogSubsystem),
                             std::string(kSharedItemsStorageLogCategory), sink_)),
        .clock = clock_,
        .random = random_,
        .exitProcess =
            [this](int status) {
              std::lock_guard lock(mutex_);
              exits_.push_back(status);
              exitedBeforeLoop_ = loop_->runCount() == 0;
              loop_->quit();
            },
    };
  }

  int run() {
    const int status = Quarn::run(constants(), platform());
    EXPECT_FALSE(loop_->timedOut());
    server_.verify();
    expectMessageIds();
    return status;
  }

  // The records an operator searches the journal for carry their fixed
  // identifiers; no other record carries one.
  void expectMessageIds() const {
    static const std::map<std::string, std::string> kIds = {
        {"Update process skipped until 24 hours passed since the last update check.",
         "c0e077e6169d4b118533156c7378ba80"},
        {"Update process started.", "adad29aae32745a7be2620386848ee4f"},
        {"Package validated successfully.", "174aaa2a150e4e13bdfb4c52efb90a1b"},
        {"Executing 'orvanta-updater': path '%{public}s', action identifier '%{public}s' asset "
         "identifier: %{public}s",
         "97afda7887064915bf23edafaf204e06"},
        {"Error downloading the package: %{public}s", "5508aeefbcb74c78ab38b43c9bd6849b"},
    };
    for (const auto& record : sink_->records()) {
      const auto id = kIds.find(record.format);
      EXPECT_EQ(record.messageId ? std::string(record.messageId->hex()) : "",
                id != kIds.end() ? id->second : "")
          << record.format;
    }
  }

  void store(SharedItem key, const std::string& value) {
    auto storage = Quarn::makeSharedItemsStorage(constants(), platform());
    (void)storage->deleteItem(key);
    ASSERT_TRUE(storage->saveItem(key, value, {}));
  }
  std::optional<std::string> stored(SharedItem key) {
    return Quarn::makeSharedItemsStorage(constants(), platform())->readItem(key);
  }

  void packageTool(const std::string& output, int status) {
    std::ofstream(dir_ / "pkgutil.out") << output;
    std::ofstream(dir_ / "pkgutil.status") << status;
  }

  std::vector<std::string> messages(std::string_view category,
                                    std::string_view subsystem = kLogSubsystem) const {
    std::vector<std::string> texts;
    for (const auto& record : sink_->records()) {
      if (record.category == category && record.subsystem == subsystem) {
        texts.push_back(record.text);
      }
    }
    return texts;
  }
  // The update run's messages, from "Update process started." on.
  std::vector<std::string> runMessages() const {
    auto texts = messages(kPackageUpdaterLogCategory);
    auto start = std::find(texts.begin(), texts.end(), "Update process started.");
    return {start, texts.end()};
  }

  std::vector<int> exits() {
    std::lock_guard lock(mutex_);
    return exits_;
  }

  fs::path dir_;
  testing::HttpsServer server_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<RecordingLauncher> launcher_ = std::make_shared<RecordingLauncher>();
  std::shared_ptr<testing::VirtualTimeLoop> loop_ = std::make_shared<testing::VirtualTimeLoop>();
  std::shared_ptr<testing::FakeClock> clock_ = std::make_shared<testing::FakeClock>(kNow);
  std::shared_ptr<testing::FakeRandom> random_ = std::make_shared<testing::FakeRandom>(0);
  std::mutex mutex_;
  std::vector<int> exits_;
  bool exitedBeforeLoop_ = false;
};

TEST_F(QuarnTest, ARecentCheckEndsTheStartAfterTheExtensionCheck) {
  std::ofstream(dir_ / "db.plist") << database("activated_enabled");
  const std::string recent = update::formatUpdateLastRun(kNow - 3600.0);
  store(SharedItem::updateLastRun, recent);

  EXPECT_EQ(run(), 0);
  EXPECT_EQ(exits(), std::vector{0});
  EXPECT_TRUE(exitedBeforeLoop_);
  EXPECT_EQ(loop_->pendingTasks(), 0u);
  EXPECT_THAT(messages(kSystemExtensionLoaderLogCategory),
              ElementsAre("The System extension is already active."));
  EXPECT_THAT(messages(kPackageUpdaterLogCategory),
              ElementsAre("Last installation check timestamp: " + recent,
                          "Update process skipped until 24 hours passed since the last update "
                          "check."));
  EXPECT_EQ(stored(SharedItem::updateLastRun), recent);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(QuarnTest, TheExtensionCheckRunsOnEveryStartBeforeTheGate) {
  std::ofstream(dir_ / "db.plist") << database("activated_disabled");
  store(SharedItem::updateLastRun, update::formatUpdateLastRun(kNow - 60.0));
  EXPECT_EQ(run(), 0);
  ASSERT_FALSE(launcher_->launches().empty());
  EXPECT_EQ(launcher_->launches()[0].launchPath, "/bin/zsh");
  EXPECT_THAT(launcher_->launches()[0].arguments,
              ElementsAre("-c", (dir_ / "forwarder").string() + " install-extension"));
  EXPECT_THAT(messages(kSystemExtensionLoaderLogCategory),
              ElementsAre("Installing extension.",
                          "Orvanta Forwarder command output:\ninstalled install-extension\n"));
  EXPECT_EQ(sink_->records().front().category, kSystemExtensionLoaderLogCategory);
}

TEST_F(QuarnTest, AFirstStartRecordsTheTimeAndRunsAfterTheDelay) {
  random_->queue(~std::uint64_t{0});
  random_->next64();  // the delay is the longest, 900 s
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(exits(), std::vector{0});
  EXPECT_FALSE(exitedBeforeLoop_);
  EXPECT_DOUBLE_EQ(loop_->now(), 900.0);
  EXPECT_EQ(stored(SharedItem::updateLastRun), update::formatUpdateLastRun(kNow));
  EXPECT_THAT(messages(kSystemExtensionLoaderLogCategory),
              ElementsAre("The file db.plist could not be loaded."));
  EXPECT_THAT(
      messages(kPackageUpdaterLogCategory),
      ElementsAre("Last installation check timestamp: 0",
                  "New timestamp for installation check: " + update::formatUpdateLastRun(kNow),
                  "Update process scheduled to be executed in 900.000000 seconds.",
                  "Update process started.",
                  "Asset identifier Not available in the shared items storage."));
}

// One update run through the whole pipeline.
struct RunCase {
  std::string name;
  // Answers to the actions request, in order; "{PKG}" stands for the
  // package's URL.
  std::vector<std::pair<int, std::string>> actionsAnswers = {};
  std::optional<std::pair<int, std::string>> packageAnswer = std::nullopt;
  std::string packageToolOutput = kSevenLines;
  int packageToolStatus = 0;
  std::vector<std::string> runMessages = {};  // "{PATH}" stands for the package path
  std::optional<std::string> reportedReason = std::nullopt;
  bool launched = false;
  bool updaterMissing = false;
  // The updater's identifiers: the asset's as stored and as it appears in the
  // service's paths, and the chosen action's in Base64.
  std::string assetIdentifier = "A1";
  std::string assetInPath = "A1";
  std::string encodedActionIdentifier = "WDk=";
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const RunCase& runCase, std::ostream* out) { *out << runCase.name; }

const std::string kPackage = "the package bytes";
const std::string kDigest = "7bb0f3d3a1d1d4e8b4e1d8f1f1a35d0b3c9a3f4f6a1e9d0d2b0b2a6a9f1c0e3d";

std::string oneUpdate(const std::string& digest, const std::string& actionId = "X9") {
  return R"({"actions":[{"id":")" + actionId +
         R"(","update":{"download_url":"{PKG}","binary_sha256":")" + digest + R"("}}]})";
}

class QuarnRunTest : public QuarnTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(QuarnRunTest, EndsWhereItShould) {
  const RunCase& c = GetParam();
  store(SharedItem::assetIdentifier, c.assetIdentifier);
  packageTool(c.packageToolOutput, c.packageToolStatus);
  const std::string packageUrl = server_.url("/packages/p.pkg");
  const auto withUrls = [&](std::string text) {
    for (auto at = text.find("{PKG}"); at != std::string::npos; at = text.find("{PKG}")) {
      text.replace(at, 5, packageUrl);
    }
    for (auto at = text.find("{PATH}"); at != std::string::npos; at = text.find("{PATH}")) {
      text.replace(at, 6, constants().packagePath);
    }
    for (auto at = text.find("{UPDATER}"); at != std::string::npos; at = text.find("{UPDATER}")) {
      text.replace(at, 9, constants().updaterPath);
    }
    return text;
  };
  for (const auto& [status, body] : c.actionsAnswers) {
    server_.expect({"GET", "/v1/assets/" + c.assetInPath + "/actions"})
        .respond(status, withUrls(body));
  }
  if (c.packageAnswer) {
    server_.expect({"GET", "/packages/p.pkg"})
        .respond(c.packageAnswer->first, c.packageAnswer->second);
  }
  if (c.reportedReason) {
    server_.expect({"POST", "/v1/assets/" + c.assetInPath + "/action-result"}).respond(200, "{}");
  }
  if (c.updaterMissing) fs::remove(dir_ / "updater");

  EXPECT_EQ(run(), 0);
  EXPECT_EQ(exits(), std::vector{0});

  launcher_->waitForChildren();
  std::vector<std::string> expected;
  for (const auto& message : c.runMessages) expected.push_back(withUrls(message));
  EXPECT_THAT(runMessages(), ElementsAreArray(expected));

  const auto requests = server_.requests();
  for (const auto& request : requests) {
    if (request.method == "POST") {
      EXPECT_EQ(request.body, "\"update failed because " + *c.reportedReason + "\"");
    }
  }
  if (c.launched) {
    // The updater, which outlives the agent, writes both streams to a log
    // stream of its own and never to a pipe of the agent's.
    const auto launches = launcher_->launches();
    EXPECT_EQ(launches.back().launchPath, constants().updaterPath);
    EXPECT_FALSE(launches.back().pipeStandardOutput || launches.back().pipeStandardError);
    EXPECT_NE(launches.back().outputDescriptor, nullptr);
    EXPECT_EQ(contents(dir_ / "orvanta-updater.log"), "updating\nwarning\n");
    EXPECT_EQ(contents(dir_ / "args"), "--path\n" + constants().packagePath +
                                           "\n--action-identifier\n" + c.encodedActionIdentifier +
                                           "\n--asset-identifier\n" + c.assetIdentifier + "\n");
    EXPECT_EQ(contents(constants().packagePath), kPackage);
  } else {
    EXPECT_FALSE(fs::exists(dir_ / "args"));
  }
}

std::vector<RunCase> runCases() {
  const std::string digest = api::sha256HexString(kPackage);
  const std::string received = "Action update received: X9";
  std::string notNotarized = kSevenLines;
  notNotarized.erase(notNotarized.find("   Notarization"),
                     std::string("   Notarization: trusted by the Apple notary service\n").size());
  return {
      {.name = "NoActions",
       .actionsAnswers = {{200, R"({"actions":[]})"}},
       .runMessages = {"Update process started.", "No need for upgrade"}},
      {.name = "NoActionCarriesAnUpdate",
       .actionsAnswers = {{200, R"({"actions":[{"id":"A"},{"id":"B","update":null}]})"}},
       .runMessages = {"Update process started.", "No need for upgrade"}},
      {.name = "ActionsRequestRefused",
       .actionsAnswers = {{500, "down"}},
       .runMessages = {"Update process started.", "Error getting update action: down"}},
      {.name = "ActionsAnswerUndecodable",
       .actionsAnswers = {{200, "[]"}},
       .runMessages = {"Update process started.",
                       "Error getting update action: Unable to decode response from API: []"}},
      {.name = "ActionsRetriedAfter502",
       .actionsAnswers = {{502, "busy"}, {200, R"({"actions":[]})"}},
       .runMessages = {"Update process started.", "No need for upgrade"}},
      {.name = "DownloadRefused",
       .actionsAnswers = {{200, oneUpdate(digest)}},
       .packageAnswer = {{404, "gone"}},
       .runMessages = {"Update process started.", received,
                       "Error downloading the package: Wrong status code received during "
                       "download status code: 404"},
       .reportedReason = "Error downloading the package: Wrong status code received during "
                         "download status code: 404"},
      {.name = "ChecksumMismatch",
       .actionsAnswers = {{200, oneUpdate(kDigest)}},
       .packageAnswer = {{200, kPackage}},
       .runMessages = {"Update process started.", received,
                       "Error downloading the package: The SHA256 package checksum is invalid. "
                       "Expected: " +
                           kDigest + ", Received: " + digest},
       .reportedReason = "Error downloading the package: The SHA256 package checksum is "
                         "invalid. Expected: " +
                         kDigest + ", Received: " + digest},
      {.name = "PackageNotNotarized",
       .actionsAnswers = {{200, oneUpdate(digest)}},
       .packageAnswer = {{200, kPackage}},
       .packageToolOutput = notNotarized,
       .runMessages = {"Update process started.", received, "The package is not notarized."},
       .reportedReason = "The package is not notarized."},
      {.name = "PackageToolFails",
       .actionsAnswers = {{200, oneUpdate(digest)}},
       .packageAnswer = {{200, kPackage}},
       .packageToolOutput = "no such package",
       .packageToolStatus = 1,
       .runMessages = {"Update process started.", received, "Package could not be validated.",
                       "Command output: no such package"},
       .reportedReason = "Package could not be validated."},
      {.name = "Installed",
       .actionsAnswers = {{200, oneUpdate(digest)}},
       .packageAnswer = {{200, kPackage}},
       .runMessages = {"Update process started.", received, "Package validated successfully.",
                       "Executing 'orvanta-updater': path '{PATH}', action identifier 'WDk=' "
                       "asset identifier: A1"},
       .launched = true},
      // Nothing is reported and the run ends once, as after a launch.
      {.name = "UpdaterCannotStart",
       .actionsAnswers = {{200, oneUpdate(digest)}},
       .packageAnswer = {{200, kPackage}},
       .runMessages = {"Update process started.", received, "Package validated successfully.",
                       "Executing 'orvanta-updater': path '{PATH}', action identifier 'WDk=' "
                       "asset identifier: A1",
                       "Error executing '{UPDATER}' error: {UPDATER}: No such file or directory"},
       .updaterMissing = true},
      // The action identifier goes out as the Base64 of its UTF-8 bytes; the
      // asset identifier as it is, one argument whatever it holds.
      {.name = "IdentifiersOutsideAsciiAndWithSpaces",
       .actionsAnswers = {{200, oneUpdate(digest, "\u00c4-7")}},
       .packageAnswer = {{200, kPackage}},
       .runMessages = {"Update process started.", "Action update received: \xC3\x84-7",
                       "Package validated successfully.",
                       "Executing 'orvanta-updater': path '{PATH}', action identifier 'w4QtNw==' "
                       "asset identifier: A 1"},
       .launched = true,
       .assetIdentifier = "A 1",
       .assetInPath = "A%201",
       .encodedActionIdentifier = "w4QtNw=="},
      // An empty action identifier is still passed, as an empty argument.
      {.name = "EmptyActionIdentifier",
       .actionsAnswers = {{200, oneUpdate(digest, "")}},
       .packageAnswer = {{200, kPackage}},
       .runMessages = {"Update process started.",
                       "Action update received: ", "Package validated successfully.",
                       "Executing 'orvanta-updater': path '{PATH}', action identifier '' "
                       "asset identifier: A1"},
       .launched = true,
       .encodedActionIdentifier = ""},
      {.name = "FirstOfSeveralUpdatesWins",
       .actionsAnswers = {{200, R"({"actions":[{"id":"N"},{"id":"X9","update":{"download_url":)"
                                R"("{PKG}","binary_sha256":")" +
                                    digest +
                                    R"("}},{"id":"Y7","update":{"download_url":)"
                                    R"("https://127.0.0.1:1/other.pkg","binary_sha256":"00"}}]})"}},
       .packageAnswer = {{200, kPackage}},
       .runMessages = {"Update process started.", received, "Package validated successfully.",
                       "Executing 'orvanta-updater': path '{PATH}', action identifier 'WDk=' "
                       "asset identifier: A1"},
       .launched = true},
  };
}

INSTANTIATE_TEST_SUITE_P(Pipeline, QuarnRunTest, ::testing::ValuesIn(runCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(QuarnTest, A502IsRetriedOnTheMainQueueThirtySecondsLater) {
  store(SharedItem::assetIdentifier, "A1");
  server_.expect({"GET", "/v1/assets/A1/actions"}).respond(502, "busy");
  server_.expect({"GET", "/v1/assets/A1/actions"}).respond(200, R"({"actions":[]})");
  EXPECT_EQ(run(), 0);
  EXPECT_DOUBLE_EQ(loop_->now(), 30.0);
  EXPECT_THAT(messages(kApiServiceLogCategory),
              ElementsAre("Retry scheduled: Request to assets/A1/actions failed with a status "
                          "code 502",
                          "Retrying request to assets/A1/actions"));
}

}  // namespace
}  // namespace quarn::app
