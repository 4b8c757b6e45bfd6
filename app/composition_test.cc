// The agent as it ships, one start per row: run() with the shipped constants
// on fakes of the platform services (an in-memory file system, scripted
// children and service answers, virtual time) and a store in the temporary
// folder, checked by what the start leaves behind: its trace, the stored check
// time, the package file and the exit. The rows marked `threaded` run again on
// the real main run loop, with the service's answers arriving on a thread of
// their own, as the real session's do.
//
// How to read a trace. It lists the records of the agent's loggers, then the
// requests it sent, then the programs it started, each in the order they
// happened:
//
//   P Update process started. #adad
//   A Retry scheduled: Request to <private> failed with a status code <private> [assets/A1/actions]
//   [502]
//     A record: a letter for its logger, then its text as the system log
//     shows it, with each private argument as <private> and its value in
//     brackets at the end. L is the extension check's and the start's
//     ("Orvanta Quarn"), P the pipeline's ("Package Updater"), A the service
//     client's ("API Service"), R the failure reports' (subsystem
//     "com.kelvane.Orvanta.Updater"), ? any other. A record that an operator
//     searches for ends in "#" and the first four hex digits of its fixed
//     MESSAGE_ID; no other record has one.
//   POST assets/A1/action-result?action_id=X9&result=FAILED "update failed because ..." (Accept:
//   application/json, User-Agent: quarn/0.1.0, Content-Type: application/json) 120
//     A request: its method, its URL less the service base URL, its body when
//     it has one, its header fields as sent, and its time limit in seconds.
//   /bin/zsh [-c] [/usr/sbin/pkgutil --check-signature /tmp/ForwarderInstallerPackage.pkg] >out
//   2>err (limit 600 s)
//     A launch: its path and each argument in brackets; ">out" and "2>err"
//     when standard output and standard error are read through pipes, ">log"
//     when its output goes to a log stream of its own; its time limit.
#include "app/composition.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "api/file_downloader.h"
#include "app/constants.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_process_launcher.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::app {
namespace {

using testing::FakeUrlSession;
using Answer = FakeUrlSession::Outcome;
using Child = testing::FakeProcessLauncher::Child;
using Texts = std::vector<std::string>;

Texts operator+(Texts head, const Texts& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

const std::string kPackage = "package bytes";
const std::string kPackagePath = "/tmp/ForwarderInstallerPackage.pkg";
const std::string kSigned =
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Notarization: trusted by the Apple notary service\n"
    "    1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)\n"
    "    2. Developer ID Certification Authority\n"
    "    3. Apple Root CA\n"
    "       B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
    "       68 C5 BE 91 B5 A1 10 01 F0 24\n";

const std::string kCheck = "/bin/zsh [-c] [/usr/sbin/pkgutil --check-signature " + kPackagePath +
                           "] >out 2>err (limit 600 s)";
const std::string kInstall =
    "/bin/zsh [-c] [/Applications/Orvanta\\ Forwarder.app/Contents/MacOS/Orvanta\\ Forwarder "
    "install-extension] >out (limit 600 s)";
// An extension database that allows the extension and shows it inactive.
const std::string kExtensionPending =
    "<plist><dict><key>extensionPolicies</key><array><dict><key>allowedExtensions</key><dict>"
    "<key>3RZT8QW5KD</key><array><string>com.kelvane.Orvanta.ProcessMonitor</string></array>"
    "</dict></dict></array><key>extensions</key><array/></dict></plist>";
const std::string kKilled = "The command did not end within its limit of 600 s and was killed.";
const std::string kUpdater =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/orvanta-updater.app/Contents/MacOS/"
    "orvanta-updater";

// Every request names the agent with the version --version prints.
const std::string kAgent = "User-Agent: quarn/" + std::string(kVersion);
const std::string kService = " (Accept: application/json, " + kAgent;
const std::string kActions = "GET assets/A1/actions" + kService + ") 120";
const std::string kDownload = "GET https://cdn.test/p.pkg (" + kAgent + ", Accept: */*) 7200";
std::string report(const std::string& reason) {
  return "POST assets/A1/action-result?action_id=X9&result=FAILED \"update failed because " +
         reason + "\"" + kService + ", Content-Type: application/json) 120";
}
// A request to `path` refused with 502 and sent again.
Texts retried(const std::string& path) {
  return {"A Retry scheduled: Request to <private> failed with a status code <private> [" + path +
              "] [502]",
          "A Retrying request to " + path};
}

const std::map<std::string, std::string> kLoggers = {
    {"com.kelvane.Orvanta.quarn/Orvanta Quarn", "L "},
    {"com.kelvane.Orvanta.quarn/Package Updater", "P "},
    {"com.kelvane.Orvanta.quarn/API Service", "A "},
    {"com.kelvane.Orvanta.Updater/Package Updater", "R "},
};
const std::string kNoDatabase = "L The file db.plist could not be loaded.";
const std::string kReceived = "P Action update received: X9";
const std::string kSkipped =
    "P Update process skipped until 24 hours passed since the last update check. #c0e0";
const std::string kScheduled = "P Update process scheduled to be executed in 450.000000 seconds.";
// The records of a due start: the extension check's, the gate's (the clock's
// first reading) and the wait's (its second), then, unless the agent stops
// during the wait, `run`.
Texts due(const Texts& run, const std::string& last = "1764910000.0") {
  Texts log = {kNoDatabase, "P Last installation check timestamp: " + last,
               "P New timestamp for installation check: 1765000001.0", kScheduled};
  return run.empty() ? log : log + Texts{"P Update process started. #adad"} + run;
}

Answer reply(std::int64_t status, std::string body = "{}") {
  return FakeUrlSession::answer(status, std::move(body));
}
// Pending actions: one without an update, the update of `id`, and another.
Answer actions(const std::string& id = "X9") {
  return reply(200, R"({"actions":[{"id":"N1"},{"id":")" + id +
                        R"(","update":{"download_url":"https://cdn.test/p.pkg","binary_sha256":")" +
                        api::sha256HexString(kPackage) +
                        R"("}},{"id":"Y7","update":{"download_url":"https://cdn.test/)"
                        R"(q.pkg","binary_sha256":"00"}}]})");
}

struct Start {
  // The machine, the service and the faults. The random source draws the
  // middle of the range, a wait of 450 s.
  std::string lastRun = "1764910000.0";  // 25 hours before the start
  std::string asset = "A1";
  bool extensionPending = false;                          // the install command runs
  std::vector<std::pair<std::string, Child>> tools = {};  // beside a signed package
  std::vector<Answer> answers = {};                       // in the order of the requests
  bool storeFails = false;
  bool lock = false;              // another start holds the lock
  bool refusesAdditions = false;  // the store's table refuses every new row
  double stopsAt = -1;            // the main loop stops, seconds into it, and lets go of the run
  // What the start leaves: its trace, the stored check time (empty when the
  // store cannot be read) and the virtual time; it exits once with 0. An
  // older package at the destination stays unless the package tool checked a
  // new one there.
  Texts trace = {};
  std::string storedAfter = "1765000001.0";
  double endsAt = 450;
  bool threaded = false;  // runs again across two threads
};

std::vector<Start> starts() {
  const std::string refused =
      "Error downloading the package: Wrong status code received during download status code: 404";
  const std::string readError =
      "P Error executing '-c /usr/sbin/pkgutil --check-signature " + kPackagePath + "' error: ";
  const std::string failed = "Package could not be validated.";
  const Answer badGateway = reply(502, "Bad Gateway");
  const Answer noUpdate = reply(200, R"({"actions":[{"id":"N1"}]})");
  const auto noUpdateRun = [&](const std::string& last) {
    return Start{.lastRun = last,
                 .answers = {noUpdate},
                 .trace = due({"P No need for upgrade"}, last) + Texts{kActions}};
  };
  // A run that got the package and had it refused by the package tool: `log`
  // after the update's records, then the report of `reported`, which gets
  // `answer`.
  const auto refusedBy = [](Child tool, const Texts& log, const std::string& reported,
                            Answer answer = reply(200), bool threaded = false) {
    return Start{
        .tools = {{"pkgutil", tool}},
        .answers = {actions(), reply(200, kPackage), answer},
        .trace = due(Texts{kReceived} + log) + Texts{kActions, kDownload, report(reported), kCheck},
        .threaded = threaded};
  };
  std::vector<Start> rows = {
      // A store that cannot be used counts as empty.
      {.storeFails = true,
       .trace = due({"P Asset identifier Not available in the shared items storage."}, "0"),
       .storedAfter = ""},
      // A store that refuses the new time keeps the old one; the run goes on.
      {.answers = {noUpdate},
       .refusesAdditions = true,
       .trace = noUpdateRun("1764910000.0").trace,
       .storedAfter = "1764910000.0"},
      // Stopped while a retry waits: the agent lets go of the service, which
      // abandons the retry, and so of the run: a debug build stops at the run
      // that never ended, a release build logs it and ends the agent.
      {.answers = {badGateway},
       .stopsAt = 460,
       .trace = due({retried("assets/A1/actions")[0],
                     "P The update run was dropped before it ended; it ends now."}) +
                Texts{kActions},
       .endsAt = 460},
      // No pending update. A stored time that does not parse completely counts as 0.
      noUpdateRun("1764999400.0 "),
      // The actions are refused after two retries, 30 s apart.
      {.answers = {badGateway, badGateway, badGateway},
       .trace = due(retried("assets/A1/actions") + retried("assets/A1/actions") +
                    Texts{"P Error getting update action: Bad Gateway"}) +
                Texts{kActions, kActions, kActions},
       .endsAt = 510},
      // A failed download is reported (the report is retried once).
      {.answers = {actions(), reply(404, "no such package"), badGateway, reply(200)},
       .trace =
           due(Texts{kReceived, "P " + refused + " #5508"} + retried("assets/A1/action-result")) +
           Texts{kActions, kDownload, report(refused), report(refused)},
       .endsAt = 480,
       .threaded = true},
      // The package tool fails, and the service refuses the report.
      refusedBy({.status = 1, .out = "cannot read the package"},
                {"P " + failed, "P Command output: <private> [cannot read the package]",
                 "R Error reporting installation failed: unavailable #81f0"},
                failed, reply(500, "unavailable"), true),
      // The updater is launched with the action identifier as the Base64 of
      // its UTF-8 bytes and the asset identifier as it is, as one argument. An
      // updater that cannot start is only logged; the run ends as after a
      // launch.
      {.asset = "A 1",
       .tools = {{"--path", {.launchError = platform::Error{"POSIXError", 2, "not found"}}}},
       .answers = {actions("\u00c4-7"), reply(200, kPackage)},
       .trace =
           due({"P Action update received: \u00c4-7", "P Package validated successfully. #174a",
                "P Executing 'orvanta-updater': path '" + kPackagePath +
                    "', action identifier 'w4QtNw==' asset identifier: A 1 #97af",
                "P Error executing '" + kUpdater + "' error: not found"}) +
           Texts{"GET assets/A%201/actions" + kService + ") 120", kDownload, kCheck,
                 kUpdater + " [--path] [" + kPackagePath +
                     "] [--action-identifier] [w4QtNw==] [--asset-identifier] [A 1] >log"},
       .threaded = true},
      // A stored time up to 24 hours ahead of the clock is not due (here
      // exactly 24 hours).
      {.lastRun = "1765086400.0",
       .trace = {kNoDatabase, "P Last installation check timestamp: 1765086400.0", kSkipped},
       .storedAfter = "1765086400.0",
       .endsAt = 0},
      // The install command runs with its whole command line; one killed at its
      // limit is logged as failed, and the start goes on, here to a gate
      // exactly 24 hours after the last check, which is not due.
      {.lastRun = "1764913600.0",
       .extensionPending = true,
       .tools = {{"install-extension", {.killedAtLimit = true}}},
       .trace = {"L Installing extension.", "L Orvanta Forwarder command error: " + kKilled,
                 "P Last installation check timestamp: 1764913600.0", kSkipped, kInstall},
       .storedAfter = "1764913600.0",
       .endsAt = 0},
      // Another start holds the lock: the start ends at once and touches
      // nothing. (One that cannot be taken ends the same way, with its error.)
      {.lock = true,
       .trace = {"L Another start of quarn is running; this start ends. #b5be"},
       .storedAfter = "1764910000.0",
       .endsAt = 0},
  };
  // More than 24 hours ahead of the clock, or no number at all, a stored time
  // is due.
  for (const std::string lastRun : {"1765086401.0", "nan"}) rows.push_back(noUpdateRun(lastRun));
  // Each refusal of the package is logged (as reported, unless given) and
  // reported with its own text. A stream counts only when all of it is UTF-8
  // (here it ends in code point 0x110000).
  const auto without = [](const std::string& text) {
    std::string output = kSigned;
    return Child{.out = output.erase(output.find(text), text.size())};
  };
  const std::tuple<Child, Texts, std::string> refusals[] = {
      {without("Notarization:"), {}, "The package is not notarized."},
      {without("1. Developer"),
       {"P The package is signed with another developer ID."},
       "The package is signed with a wrong developer ID."},
      {without("2. Developer"),
       {"P The package is signed but the certificate is authorized by a wrong Certification "
        "Authority"},
       "The package is signed with a wrong Certification Authority."},
      {without("68 C5"),
       {"P The package is signed but the Root Certificate is not from Apple"},
       "The package is signed but the root certificate is not from Apple."},
      {{.out = kSigned + "\xF4\x90\x80\x80"}, {}, "The package is not signed."},
      {{.readFails = true}, {readError + "Input/output error"}, "pkgutil output is empty."},
      {{.killedAtLimit = true}, {"P " + failed, readError + kKilled}, failed},
  };
  for (const auto& [tool, logged, reported] : refusals)
    rows.push_back(refusedBy(tool, logged.empty() ? Texts{"P " + reported} : logged, reported));
  return rows;
}

constexpr char kRefuseAdditions[] =
    "CREATE TRIGGER no BEFORE INSERT ON generic_passwords BEGIN SELECT RAISE(ABORT, 'no'); END";

// A machine of its own for one start: the store in a temporary folder, and
// the fakes set up as the row says; the session completes on `sessionQueue`.
struct Machine {
  Machine(const Start& row, std::shared_ptr<platform::RunLoop> loop,
          std::shared_ptr<platform::TaskQueue> sessionQueue)
      : session(std::make_shared<FakeUrlSession>(std::move(sessionQueue), row.answers)) {
    (void)keychain->addItem({"UpdateLastRun", "Other", "Elsewhere", {}, row.lastRun});
    (void)keychain->addItem({"SharedAssetIdentifier", "Other", "Elsewhere", {}, row.asset});
    if (row.storeFails) std::ofstream(store, std::ios::trunc) << "not a database";
    sqlite3* db = nullptr;
    if (row.refusesAdditions && sqlite3_open(store.c_str(), &db) == SQLITE_OK)
      sqlite3_exec(db, kRefuseAdditions, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (row.extensionPending)
      files->setFile(std::string(kSystemExtensionsDBPath), kExtensionPending);
    if (row.lock) files->setFaults({.heldLocks = {"/run/quarn.lock"}});
    files->setFile(kPackagePath, "older package");
    for (const auto& [command, child] : row.tools) launcher->script(command, child);
    // The package tool's streams take turns, one byte at a time.
    const std::size_t split = kSigned.find("    3. Apple");
    launcher->script("pkgutil", {.out = kSigned.substr(0, split), .err = kSigned.substr(split)});
    sink->childStreams = true;
    const auto exit = [this, loop = loop.get()](int status) {
      exits.push_back(status);
      loop->quit();
    };
    const auto clock = std::make_shared<testing::FakeClock>();
    platform = {sink,    files,    launcher, loop,
                session, keychain, clock,    std::make_shared<testing::FakeRandom>(),
                exit};
  }

  // The records, then the requests, then the launches (see the key above).
  Texts trace() const {
    Texts lines;
    for (const auto& record : sink->records()) {
      const auto logger = kLoggers.find(record.subsystem + "/" + record.category);
      lines.push_back((logger == kLoggers.end() ? "? " : logger->second) +
                      testing::MemoryLogSink::shown(record));
      if (record.messageId) lines.back() += " #" + std::string(record.messageId->hex(), 0, 4);
    }
    for (const auto& request : session->requests()) {
      std::string url = request.url;
      if (url.starts_with(kServiceBaseUrl)) url.erase(0, kServiceBaseUrl.size());
      std::string fields;
      for (const auto& [name, value] : request.headers.fields())
        fields += (fields.empty() ? "" : ", ") + name + ": " + value;
      lines.push_back(request.method + " " + url + (request.body ? " " + *request.body : "") +
                      " (" + fields + ") " + std::to_string(static_cast<int>(request.timeLimit)));
    }
    for (const auto& launch : launcher->launches()) {
      std::string& line = lines.emplace_back(launch.launchPath);
      for (const auto& argument : launch.arguments) line += " [" + argument + "]";
      if (launch.pipeStandardOutput) line += " >out";
      if (launch.pipeStandardError) line += " 2>err";
      if (launch.outputDescriptor && *launch.outputDescriptor) line += " >log";
      if (launch.timeLimit)
        line += " (limit " + std::to_string(static_cast<long>(*launch.timeLimit)) + " s)";
    }
    return lines;
  }

  // What the start left. It exited once, with 0.
  void check(const Start& row) {
    EXPECT_EQ(trace(), row.trace);
    EXPECT_EQ(exits, std::vector{0});
    EXPECT_EQ(keychain->copyValue("UpdateLastRun").value, row.storedAfter);
    EXPECT_EQ(files->readFile(kPackagePath),
              std::ranges::count(row.trace, kCheck) ? kPackage : "older package");
  }

  const testing::ScopedTempDir temp;
  const std::string store = temp.path + "/store.db";
  const std::shared_ptr<testing::MemoryLogSink> sink = std::make_shared<testing::MemoryLogSink>();
  const std::shared_ptr<platform::Keychain> keychain = platform::makeSqliteKeychain(
      store, platform::Logger("s", "c", std::make_shared<testing::MemoryLogSink>()));
  const std::shared_ptr<testing::FakeFileSystem> files =
      std::make_shared<testing::FakeFileSystem>();
  const std::shared_ptr<testing::FakeProcessLauncher> launcher =
      std::make_shared<testing::FakeProcessLauncher>();
  const std::shared_ptr<FakeUrlSession> session;
  std::vector<int> exits;
  Platform platform;
};

TEST(CompositionTest, EachStartEndsWhereItShould) {
  const std::vector<Start> rows = starts();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const Start& row = rows[i];
    // Answers reach the pipeline through the loop: one thread in a fixed order.
    const auto loop = std::make_shared<testing::VirtualTimeLoop>();
    Machine machine(row, loop, loop);
    if (row.stopsAt >= 0) loop->postDelayed(row.stopsAt, [&] { loop->quit(); });
    const auto start = [&] {
      EXPECT_EQ(run(shippedConstants(), machine.platform), 0);
      EXPECT_DOUBLE_EQ(loop->now(), row.endsAt);
      loop->advance(86400.0);  // work still queued finds the agent gone
    };
    if (row.stopsAt < 0) {
      start();
    } else {
      EXPECT_DEBUG_DEATH(start(), "dropped without ending");
      if (machine.sink->records().empty()) continue;  // a debug build ran it in a child process
    }
    machine.check(row);
  }
}

// The rows marked `threaded`, on the real main run loop with the session's
// completions on a thread of their own and no waits: the run crosses from one
// thread to the other and back (each step checks its thread in debug builds),
// and leaves the same trace.
TEST(CompositionTest, AcrossTheMainThreadAndTheSessionsThread) {
  Constants constants = shippedConstants();
  constants.maximumDelay = constants.retryDelay = 0;
  for (Start row : starts()) {
    if (!row.threaded) continue;
    SCOPED_TRACE(row.trace.back());
    std::ranges::replace(row.trace, kScheduled,
                         "P Update process scheduled to be executed in 0.000000 seconds.");
    const auto loop = platform::makeMainRunLoop();
    const auto sessionLoop = platform::makeMainRunLoop();
    std::thread sessionThread([sessionLoop] { sessionLoop->run(); });
    Machine machine(row, loop, sessionLoop);
    loop->postDelayed(10, [loop = loop.get()] { loop->quit(); });  // a run that never ends
    EXPECT_EQ(run(constants, machine.platform), 0);
    // The agent ends with its run, on the session's thread: what that thread
    // would do after it is dropped, as the process's end would drop it.
    sessionLoop->quit();
    sessionThread.join();
    machine.check(row);
  }
}

}  // namespace
}  // namespace quarn::app
