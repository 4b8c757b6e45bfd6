// The agent as it ships, one start per row: Quarn::run with the shipped
// constants on fakes of every platform service (an in-memory file system,
// scripted children and service answers, virtual time), checked by what the
// start leaves behind: log records, requests, launches, the package file, the
// stored check time and the exit.
#include "app/composition.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "api/file_download.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_process_launcher.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/memory_keychain.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::app {
namespace {

using testing::FakeUrlSession;
using Answer = FakeUrlSession::Outcome;
using Child = testing::FakeProcessLauncher::Child;
using Texts = std::vector<std::string>;

const std::string kPackage = "package bytes";
const std::string kDigest = api::sha256HexString(kPackage);
const std::string kPackagePath = "/tmp/ForwarderInstallerPackage.pkg";
const std::string kSigned =
    "Package \"ForwarderInstallerPackage.pkg\":\n"
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Notarization: trusted by the Apple notary service\n"
    "   Certificate Chain:\n"
    "    1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)\n"
    "    2. Developer ID Certification Authority\n"
    "    3. Apple Root CA\n"
    "       B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
    "       68 C5 BE 91 B5 A1 10 01 F0 24\n";

// A launch as "<path> [<argument>]...", then where its output goes: ">out"
// and "2>err" for pipes, ">log" for a stream of the log's.
const std::string kInstall =
    "/bin/zsh [-c] [/Applications/Orvanta\\ Forwarder.app/Contents/MacOS/Orvanta\\ Forwarder "
    "install-extension] >out";
const std::string kCheck =
    "/bin/zsh [-c] [/usr/sbin/pkgutil --check-signature " + kPackagePath + "] >out 2>err";
const std::string kUpdater =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/orvanta-updater.app/Contents/MacOS/"
    "orvanta-updater";
std::string updater(const std::string& actionId, const std::string& assetId) {
  return kUpdater + " [--path] [" + kPackagePath + "] [--action-identifier] [" + actionId +
         "] [--asset-identifier] [" + assetId + "] >log";
}

// A request as "<method> <URL after the service base> <body> (<Content-Type>)".
const std::string kActions = "GET assets/A1/actions";
const std::string kDownload = "GET https://cdn.test/p.pkg";
std::string report(const std::string& reason) {
  return "POST assets/A1/action-result?action_id=X9&result=FAILED \"update failed because " +
         reason + "\" (application/json)";
}

// A record as "<logger> <text as shown>" (MemoryLogSink::shown), the logger
// being the extension check's (L), the pipeline's (P), the service client's
// (A) or the failure reports' (R); "?" for any other.
const std::map<std::string, std::string> kLoggers = {
    {"com.kelvane.Orvanta.quarn/Orvanta Quarn", "L "},
    {"com.kelvane.Orvanta.quarn/Package Updater", "P "},
    {"com.kelvane.Orvanta.quarn/API Service", "A "},
    {"com.kelvane.Orvanta.Updater/Package Updater", "R "},
};
// The records an operator searches for carry their fixed identifiers, and
// no other record carries one.
const std::map<std::string, std::string> kMessageIds = {
    {"Update process skipped until 24 hours passed since the last update check.",
     "c0e077e6169d4b118533156c7378ba80"},
    {"Update process started.", "adad29aae32745a7be2620386848ee4f"},
    {"Package validated successfully.", "174aaa2a150e4e13bdfb4c52efb90a1b"},
    {"Executing 'orvanta-updater': path '%{public}s', action identifier '%{public}s' asset "
     "identifier: %{public}s",
     "97afda7887064915bf23edafaf204e06"},
    {"Error downloading the package: %{public}s", "5508aeefbcb74c78ab38b43c9bd6849b"},
    {"Error reporting installation failed: %{public}s", "81f0974ec05c4a0dbabf2a2a4549e5af"},
};
const std::string kNoDatabase = "L The file db.plist could not be loaded.";
const Texts kInstalled = {"L Installing extension.",
                          "L Orvanta Forwarder command output:\nExtension installation requested."};
const std::string kReceived = "P Action update received: X9";
std::string retry(const std::string& path) {
  return "A Retry scheduled: Request to <private> failed with a status code <private> [" + path +
         "] [502]";
}
// The records of a due start up to the start of the run, then `run`.
Texts due(const Texts& run, Texts log = {kNoDatabase}, const std::string& delay = "0.000000") {
  log.insert(log.end(), {"P Last installation check timestamp: 1764910000.0",
                         "P New timestamp for installation check: 1765000000.0",
                         "P Update process scheduled to be executed in " + delay + " seconds.",
                         "P Update process started."});
  log.insert(log.end(), run.begin(), run.end());
  return log;
}

Texts operator+(Texts head, const Texts& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Answer reply(std::int64_t status, std::string body = "{}") {
  return FakeUrlSession::answer(status, std::move(body));
}
// Pending actions: one without an update, the update of `id`, and another.
Answer actions(const std::string& id = "X9", const std::string& digest = kDigest) {
  return reply(200, R"({"actions":[{"id":"N1"},{"id":")" + id +
                        R"(","update":{"download_url":"https://cdn.test/p.pkg","binary_sha256":")" +
                        digest +
                        R"("}},{"id":"Y7","update":{"download_url":"https://cdn.test/)"
                        R"(q.pkg","binary_sha256":"00"}}]})");
}

// A database whose policy allows the process monitor, recorded in `state`.
std::string database(const std::string& state) {
  return R"(<plist version="1.0"><dict><key>extensionPolicies</key><array><dict>
  <key>allowedExtensions</key><dict><key>3RZT8QW5KD</key>
  <array><string>com.kelvane.Orvanta.ProcessMonitor</string></array></dict></dict></array>
  <key>extensions</key><array><dict>
  <key>identifier</key><string>com.kelvane.Orvanta.ProcessMonitor</string>
  <key>state</key><string>)" +
         state + R"(</string><key>teamID</key><string>3RZT8QW5KD</string>
  </dict></array></dict></plist>)";
}

// One start of the agent on a machine of its own.
struct Machine {
  const Constants constants = shippedConstants();
  std::shared_ptr<testing::MemoryLogSink> sink = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<testing::MemoryKeychain> keychain = std::make_shared<testing::MemoryKeychain>();
  std::shared_ptr<testing::FakeFileSystem> files = std::make_shared<testing::FakeFileSystem>();
  std::shared_ptr<testing::FakeProcessLauncher> launcher =
      std::make_shared<testing::FakeProcessLauncher>();
  std::shared_ptr<testing::VirtualTimeLoop> loop = std::make_shared<testing::VirtualTimeLoop>();
  // Answers reach the pipeline through the loop: one thread in a fixed order.
  std::shared_ptr<FakeUrlSession> session = std::make_shared<FakeUrlSession>(loop);
  std::shared_ptr<testing::FakeRandom> random = std::make_shared<testing::FakeRandom>();
  Texts exits;         // each exit's status, " before the loop" when the loop had not run
  double endedAt = 0;  // the loop's virtual time when the start ended

  void store(const std::string& account, const std::string& value) {
    ASSERT_EQ(keychain->addItem({account, "Other", "Elsewhere", {}, value}),
              platform::KeychainStatus::success);
  }

  int start() {
    sink->childStreams = true;
    launcher->script("install-extension", {.out = "Extension installation requested."});
    launcher->script("pkgutil", {.out = kSigned});
    const Platform platform{
        .logSink = sink,
        .fileSystem = files,
        .processLauncher = launcher,
        .mainLoop = loop,
        .urlSession = session,
        .keychain = keychain,
        .clock = std::make_shared<testing::FakeClock>(),
        .random = random,
        .exitProcess =
            [this](int status) {
              exits.push_back(std::to_string(status) +
                              (loop->runCount() ? "" : " before the loop"));
              loop->quit();
            },
    };
    const int status = Quarn::run(constants, platform);
    EXPECT_FALSE(loop->timedOut());
    endedAt = loop->now();
    loop->advance(86400.0);  // work still queued finds the agent gone and does nothing
    return status;
  }

  Texts log() const {
    Texts lines;
    for (const auto& record : sink->records()) {
      const auto logger = kLoggers.find(record.subsystem + "/" + record.category);
      const auto id = kMessageIds.find(record.format);
      std::string line = (logger == kLoggers.end() ? "? " : logger->second) +
                         testing::MemoryLogSink::shown(record);
      if ((record.messageId ? record.messageId->hex() : "") !=
          (id == kMessageIds.end() ? "" : id->second)) {
        line += " (wrong message identifier)";
      }
      lines.push_back(line);
    }
    return lines;
  }
  Texts requests() const {
    Texts lines;
    for (const auto& request : session->requests()) {
      std::string url = request.url;
      if (url.starts_with(constants.serviceBaseUrl)) url.erase(0, constants.serviceBaseUrl.size());
      const auto type = request.headers.get("Content-Type");
      lines.push_back(request.method + " " + url + (request.body ? " " + *request.body : "") +
                      (type ? " (" + *type + ")" : ""));
    }
    return lines;
  }
  Texts launches() const {
    Texts lines;
    for (const auto& launch : launcher->launches()) {
      std::string line = launch.launchPath;
      for (const auto& argument : launch.arguments) line += " [" + argument + "]";
      if (launch.pipeStandardOutput) line += " >out";
      if (launch.pipeStandardError) line += " 2>err";
      if (launch.outputDescriptor && *launch.outputDescriptor) line += " >log";
      lines.push_back(line);
    }
    return lines;
  }
};

struct Start {
  std::string name;
  // The machine, the service and the faults.
  std::optional<std::string> db = std::nullopt;         // db.plist; absent: no file
  std::optional<std::string> lastRun = "1764910000.0";  // 25 hours before the start
  std::optional<std::string> asset = "A1";
  std::vector<std::pair<std::string, Child>> tools = {};  // beside a signed package
  std::vector<Answer> answers = {};                       // in the order of the requests
  bool storeFails = false;
  bool diskFull = false;
  std::uint64_t random = 0;
  double killedAt = -1;  // seconds into the loop
  // What the start leaves.
  Texts log = {};
  Texts requests = {};
  Texts launches = {};
  std::string storedAfter = "1765000000.0";
  Texts exits = {"0"};
  double endsAt = 0;
};

std::vector<Start> starts() {
  const std::string refused =
      "Error downloading the package: Wrong status code received during download status code: 404";
  const std::string readError =
      "Error executing '-c /usr/sbin/pkgutil --check-signature " + kPackagePath + "' error: ";
  const Texts retried = {retry("assets/A1/actions"), "A Retrying request to assets/A1/actions",
                         retry("assets/A1/actions"), "A Retrying request to assets/A1/actions"};
  const Texts withoutAsset = {
      kNoDatabase,
      "P Last installation check timestamp: 0",
      "P New timestamp for installation check: 1765000000.0",
      "P Update process scheduled to be executed in 0.000000 seconds.",
      "P Update process started.",
      "P Asset identifier Not available in the shared items storage.",
  };
  std::vector<Start> rows = {
      {.name = "FirstStartOnAnEmptyMachine",
       .lastRun = std::nullopt,
       .asset = std::nullopt,
       .log = withoutAsset},
      {.name = "AStoreThatCannotBeUsedCountsAsEmpty",
       .storeFails = true,
       .log = withoutAsset,
       .storedAfter = "1764910000.0"},
      {.name = "ASecondStartWithin24HoursEndsAtTheGateAfterTheExtensionCheck",
       .db = database("activated_waiting_for_user"),
       .lastRun = "1764999400.0",
       .log = {kInstalled[0], kInstalled[1], "P Last installation check timestamp: 1764999400.0",
               "P Update process skipped until 24 hours passed since the last update check."},
       .launches = {kInstall},
       .storedAfter = "1764999400.0",
       .exits = {"0 before the loop"}},
      {.name = "KilledDuringTheLongestWait",
       .random = ~std::uint64_t{0},
       .killedAt = 899,
       .log = {kNoDatabase, "P Last installation check timestamp: 1764910000.0",
               "P New timestamp for installation check: 1765000000.0",
               "P Update process scheduled to be executed in 900.000000 seconds."},
       .exits = {},
       .endsAt = 899},
      {.name = "NoPendingUpdateAfterTheLongestWait",
       .db = database("activated_enabled"),
       .answers = {reply(200, R"({"actions":[{"id":"N1"}]})")},
       .random = ~std::uint64_t{0},
       .log = due({"P No need for upgrade"}, {"L The System extension is already active."},
                  "900.000000"),
       .requests = {kActions},
       .endsAt = 900},
      {.name = "ServiceUnreachable",
       .log = due({"P Error getting update action: The server returned a bad response."}),
       .requests = {kActions}},
      {.name = "ActionsRetriedTwiceAfter502",
       .answers = {reply(502, "Bad Gateway"), reply(502, "Bad Gateway"),
                   reply(200, R"({"actions":[]})")},
       .log = due(retried + Texts{"P No need for upgrade"}),
       .requests = {kActions, kActions, kActions},
       .endsAt = 60},
      {.name = "ActionsRefusedAfterTwoRetries",
       .answers = {reply(502, "Bad Gateway"), reply(502, "Bad Gateway"), reply(502, "Bad Gateway")},
       .log = due(retried + Texts{"P Error getting update action: Bad Gateway"}),
       .requests = {kActions, kActions, kActions},
       .endsAt = 60},
      {.name = "DownloadUnreachableReported",
       .answers = {actions(),
                   FakeUrlSession::failure(
                       FakeUrlSession::urlError(-1001, "The request timed out.")),
                   reply(200)},
       .log = due({kReceived, "P Error downloading the package: The request timed out."}),
       .requests = {kActions, kDownload,
                    report("Error downloading the package: The request timed out.")}},
      {.name = "DownloadRefusedReportedOnceTheReportIsRetried",
       .answers = {actions(), reply(404, "no such package"), reply(502, "Bad Gateway"), reply(200)},
       .log = due({kReceived, "P " + refused, retry("assets/A1/action-result"),
                   "A Retrying request to assets/A1/action-result"}),
       .requests = {kActions, kDownload, report(refused), report(refused)},
       .endsAt = 30},
      {.name = "ChecksumMismatchReportedToAnUndecodableAnswer",
       .answers = {actions("X9", "00ab"), reply(200, kPackage), reply(200, "")},
       .log = due({kReceived,
                   "P Error downloading the package: The SHA256 package checksum is invalid. "
                   "Expected: 00ab, Received: " +
                       kDigest,
                   "R Error reporting installation failed: Unable to decode response from API: "}),
       .requests = {kActions, kDownload,
                    report("Error downloading the package: The SHA256 package checksum is "
                           "invalid. Expected: 00ab, Received: " +
                           kDigest)}},
      {.name = "WriteFailureReportedToAnUnreachableService",
       .answers = {actions(), reply(200, kPackage)},
       .diskFull = true,
       .log = due({kReceived,
                   "P Error downloading the package: Could not write (fake): No space left on "
                   "device",
                   "R Error reporting installation failed: The server returned a bad response."}),
       .requests = {kActions, kDownload,
                    report("Error downloading the package: Could not write (fake): No space left "
                           "on device")}},
      {.name = "PackageToolFailsAndTheReportIsRefused",
       .tools = {{"pkgutil", {.status = 1, .out = "cannot read the package"}}},
       .answers = {actions(), reply(200, kPackage), reply(500, "unavailable")},
       .log = due({kReceived, "P Package could not be validated.",
                   "P Command output: <private> [cannot read the package]",
                   "R Error reporting installation failed: unavailable"}),
       .requests = {kActions, kDownload, report("Package could not be validated.")},
       .launches = {kCheck}},
      // The action identifier goes out as the Base64 of its UTF-8 bytes, the
      // asset identifier as it is, as one argument.
      {.name = "UpdaterLaunchedWithItsIdentifiers",
       .db = database("activated_disabled"),
       .asset = "A 1",
       .answers = {actions("\u00c4-7"), reply(200, kPackage)},
       .log = due({"P Action update received: \u00c4-7", "P Package validated successfully.",
                   "P Executing 'orvanta-updater': path '" + kPackagePath +
                       "', action identifier 'w4QtNw==' asset identifier: A 1"},
                  kInstalled),
       .requests = {"GET assets/A%201/actions", kDownload},
       .launches = {kInstall, kCheck, updater("w4QtNw==", "A 1")}},
      // An updater that cannot start is only logged; the run ends as after a
      // launch.
      {.name = "UpdaterMissingWithAnEmptyActionIdentifier",
       .tools = {{"--path", {.launchError = platform::Error{"POSIXError", 2, "not found"}}}},
       .answers = {actions(""), reply(200, kPackage)},
       .log = due({"P Action update received: ", "P Package validated successfully.",
                   "P Executing 'orvanta-updater': path '" + kPackagePath +
                       "', action identifier '' asset identifier: A1",
                   "P Error executing '" + kUpdater + "' error: not found"}),
       .requests = {kActions, kDownload},
       .launches = {kCheck, updater("", "A1")}},
  };
  // Each refusal of the package is logged and reported with its own text.
  const auto without = [](const std::string& text) {
    std::string output = kSigned;
    return Child{.out = output.erase(output.find(text), text.size())};
  };
  const std::tuple<Child, Texts, std::string> refusals[] = {
      {without("Status:"), {"The package is not signed."}, "The package is not signed."},
      {without("Notarization:"),
       {"The package is not notarized."},
       "The package is not notarized."},
      {without("1. Developer"),
       {"The package is signed with another developer ID."},
       "The package is signed with a wrong developer ID."},
      {without("2. Developer"),
       {"The package is signed but the certificate is authorized by a wrong Certification "
        "Authority"},
       "The package is signed with a wrong Certification Authority."},
      {without("68 C5"),
       {"The package is signed but the Root Certificate is not from Apple"},
       "The package is signed but the root certificate is not from Apple."},
      {{.readFails = true}, {readError + "Input/output error"}, "pkgutil output is empty."},
      {{.launchError = platform::Error{"POSIXError", 2, "no shell"}},
       {"Package could not be validated.", readError + "no shell"},
       "Package could not be validated."},
  };
  for (const auto& [tool, logged, reported] : refusals) {
    Texts run = {kReceived};
    for (const auto& line : logged) run.push_back("P " + line);
    rows.push_back({.name = "Refused: " + reported,
                    .tools = {{"pkgutil", tool}},
                    .answers = {actions(), reply(200, kPackage), reply(200)},
                    .log = due(run),
                    .requests = {kActions, kDownload, report(reported)},
                    .launches = {kCheck}});
  }
  return rows;
}

TEST(QuarnTest, EachStartEndsWhereItShould) {
  for (const Start& row : starts()) {
    SCOPED_TRACE(row.name);
    Machine machine;
    if (row.db) machine.files->setFile(machine.constants.systemExtensionsDBPath, *row.db);
    if (row.lastRun) machine.store("UpdateLastRun", *row.lastRun);
    if (row.asset) machine.store("SharedAssetIdentifier", *row.asset);
    for (const auto& [command, child] : row.tools) machine.launcher->script(command, child);
    for (const auto& answer : row.answers) machine.session->script(answer);
    machine.keychain->failing = row.storeFails;
    if (row.diskFull) machine.files->failWritesAfter(0);
    machine.random->value = row.random;
    if (row.killedAt >= 0) machine.loop->postDelayed(row.killedAt, [&] { machine.loop->quit(); });

    EXPECT_EQ(machine.start(), 0);
    EXPECT_EQ(machine.log(), row.log);
    EXPECT_EQ(machine.requests(), row.requests);
    EXPECT_EQ(machine.launches(), row.launches);
    EXPECT_EQ(machine.exits, row.exits);
    EXPECT_EQ(machine.endedAt, row.endsAt);
    // A new check time is the agent's item, which it trusts; others stay as they were.
    const auto stored =
        machine.keychain->item("UpdateLastRun").value_or(platform::GenericPasswordItem());
    EXPECT_EQ(stored.value, row.storedAfter);
    if (row.storedAfter != row.lastRun) {
      EXPECT_EQ(stored.service + "/" + stored.accessDescription,
                "Orvanta Forwarder/Shared Item Access");
      EXPECT_EQ(stored.trustedApplications,
                Texts{"/Applications/Orvanta Forwarder.app/Contents/MacOS/quarn.app"});
    }
    // The package is in place once it was checked, and only then.
    const bool checked = !row.launches.empty() && row.launches.back() != kInstall;
    EXPECT_EQ(machine.files->readFile(kPackagePath),
              checked ? std::optional(kPackage) : std::nullopt);
  }
}

// The gate over stored texts: due when more than 24 hours have passed since a
// time that parses completely; anything else counts as 0.
TEST(QuarnTest, TheGateReadsTheStoredTime) {
  const std::pair<std::string, bool> cases[] = {
      {"0", true},
      {"abc", true},
      {"", true},
      {" 1764999400.0", true},
      {"1764999400.0 ", true},
      {"1764913600.0", false},
      {"1764913599.5", true},
      {"1765003600.0", false},
      {"0x1.a4cf0cp+30", false},
      {"inf", false},
      {"nan", false},
      {"-inf", true},
  };
  for (const auto& [text, due] : cases) {
    SCOPED_TRACE(text);
    Machine machine;
    machine.store("UpdateLastRun", text);
    EXPECT_EQ(machine.start(), 0);
    EXPECT_EQ(machine.log().at(1), "P Last installation check timestamp: " + text);
    EXPECT_EQ(machine.exits, Texts{due ? "0" : "0 before the loop"});
  }
}

}  // namespace
}  // namespace quarn::app
