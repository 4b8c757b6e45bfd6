// End-to-end scenarios of the installed quarn binary.
//
// Each scenario lays out a machine (system extension database, shared items
// store, the forwarder's programs, the package tool), scripts the update
// service, starts the agent once in the sandbox (sandbox.h) and checks what it
// crossed: its log records in order, its exit status, every request the
// service received, the files and store it left behind, and the programs it
// started with their arguments.
//
// Options besides GoogleTest's:
//   --show        print, for each scenario, the agent's log and what the
//                 service and the tools saw (always printed when one fails)
//   --keep        keep the work folders of passing scenarios too
//   --agent=PATH  the quarn executable to run (default: the build's install)
//   --work=DIR    where the work folders go
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace quarn::e2e {
namespace {
namespace fs = std::filesystem;

struct Options {
  bool show = false;
  bool keep = false;
  fs::path agent = QUARN_E2E_AGENT;
  fs::path work = QUARN_E2E_WORK;
};
Options gOptions;

// ---------------------------------------------------------------------------
// The fixed world of the agent.

constexpr const char* kAsset = "A1";
constexpr const char* kActionsPath = "/v1/assets/A1/actions";
constexpr const char* kReportPath = "/v1/assets/A1/action-result";
constexpr const char* kPackageUrlPath = "/packages/p.pkg";
constexpr const char* kPackagePath = "/tmp/ForwarderInstallerPackage.pkg";
constexpr const char* kBundle = "/Applications/Orvanta Forwarder.app";
constexpr const char* kForwarderExecutable =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/Orvanta Forwarder";
constexpr const char* kUpdaterExecutable =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/orvanta-updater.app/Contents/MacOS/"
    "orvanta-updater";
constexpr const char* kQuarnBundle = "/Applications/Orvanta Forwarder.app/Contents/MacOS/quarn.app";

// Where a log record comes from: (subsystem, category).
enum class From { loader, updater, api, reporter };

std::pair<std::string, std::string> loggerOf(From from) {
  switch (from) {
    case From::loader:
      return {"com.kelvane.Orvanta.quarn", "Orvanta Quarn"};
    case From::updater:
      return {"com.kelvane.Orvanta.quarn", "Package Updater"};
    case From::api:
      return {"com.kelvane.Orvanta.quarn", "API Service"};
    case From::reporter:
      return {"com.kelvane.Orvanta.Updater", "Package Updater"};
  }
  return {};
}

// What the package tool prints for a package signed for distribution,
// notarized and chained to Apple Root CA through the maker's certificate.
constexpr const char* kSignedPackageOutput =
    "Package \"ForwarderInstallerPackage.pkg\":\n"
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Notarization: trusted by the Apple notary service\n"
    "   Signed with a trusted timestamp on: 2026-11-30 10:12:44 +0000\n"
    "   Certificate Chain:\n"
    "    1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)\n"
    "       Expires: 2030-02-01 22:12:15 +0000\n"
    "       SHA256 Fingerprint:\n"
    "           3C 1D 7A 52 90 E4 0B 8F 61 2A C7 D5 4E 18 B3 09 F2 6C 85 A1 DE 47\n"
    "           70 93 BB 2E 4C 16 D8 05 AF 39\n"
    "       ------------------------------------------------------------------------\n"
    "    2. Developer ID Certification Authority\n"
    "       Expires: 2031-09-17 00:00:00 +0000\n"
    "       SHA256 Fingerprint:\n"
    "           91 4E 2B 07 C3 5A 8D F0 16 62 BE 38 D4 7C 05 A9 E1 53 2F 6B C0 84\n"
    "           19 DA 73 4F 88 E2 05 B6 3C 71\n"
    "       ------------------------------------------------------------------------\n"
    "    3. Apple Root CA\n"
    "       Expires: 2035-02-09 21:40:36 +0000\n"
    "       SHA256 Fingerprint:\n"
    "           B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
    "           68 C5 BE 91 B5 A1 10 01 F0 24\n";

std::string withoutLine(std::string text, const std::string& needle) {
  const std::size_t at = text.find(needle);
  const std::size_t begin = text.rfind('\n', at) + 1;
  text.erase(begin, text.find('\n', at) + 1 - begin);
  return text;
}

std::string dbPlist(const char* extensionState) {
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>extensionPolicies</key>
	<array>
		<dict>
			<key>allowedExtensionTypes</key>
			<dict/>
			<key>allowedExtensions</key>
			<dict>
				<key>3RZT8QW5KD</key>
				<array>
					<string>com.kelvane.Orvanta.ProcessMonitor</string>
				</array>
			</dict>
			<key>allowedTeamIDs</key>
			<array/>
		</dict>
	</array>
	<key>extensions</key>
	<array>
		<dict>
			<key>categories</key>
			<array>
				<string>com.apple.system_extension.endpoint_security</string>
			</array>
			<key>identifier</key>
			<string>com.kelvane.Orvanta.ProcessMonitor</string>
			<key>state</key>
			<string>)") +
         extensionState + R"(</string>
			<key>teamID</key>
			<string>3RZT8QW5KD</string>
		</dict>
	</array>
</dict>
</plist>
)";
}

std::string actionsAnswer(const char* announcedDigest) {
  return std::string(R"({"actions":[{"id":"N1","kind":"inventory"},)") +
         R"({"id":"X9","update":{"download_url":"https://updates.kelvane.com/packages/p.pkg",)" +
         R"("binary_sha256":")" + announcedDigest + R"("}},)" +
         R"({"id":"X10","update":{"download_url":"https://updates.kelvane.com/packages/q.pkg",)" +
         R"("binary_sha256":")" + announcedDigest + R"("}}]})";
}

std::string reportBody(const std::string& reason) {
  return nlohmann::json("update failed because " + reason).dump();
}

// ---------------------------------------------------------------------------
// The scenario table.

enum class LastRun { none, recent, old };

struct Machine {
  std::optional<std::string> dbPlist{};  // XML
  bool binaryDbPlist = false;            // stored converted to a binary property list
  bool forwarderInstalled = true;        // the forwarder's bundle with quarn.app in it
  LastRun lastRun = LastRun::none;
  bool assetIdentifier = true;
  std::string forwarderOutput = "Extension installation requested.\nActivation pending.";
  std::string packageToolOutput = kSignedPackageOutput;
  int packageToolStatus = 0;
  bool previousPackage = false;    // /tmp/ForwarderInstallerPackage.pkg from an earlier run
  bool updaterWritesLate = false;  // the updater writes much once the agent has exited
};

struct Reply {
  int status = 200;
  std::string body{};
  bool package = false;         // the package bytes
  int trickleMilliseconds = 0;  // a quarter at once, the rest spread over this time
};

struct Route {
  std::string method;
  std::string path;
  std::vector<Reply> replies;  // in order; the last repeats
};

struct Service {
  bool up = true;
  std::vector<Route> routes{};
};

struct Line {
  From from;
  std::string text;
  bool optional = false;
};

enum class RequestKind { service, download };

struct ExpectedRequest {
  RequestKind kind;
  std::string method;
  std::string path;
  std::map<std::string, std::string> query;
  std::string body;
};

ExpectedRequest actionsRequest() { return {RequestKind::service, "GET", kActionsPath, {}, ""}; }
ExpectedRequest downloadRequest() {
  return {RequestKind::download, "GET", kPackageUrlPath, {}, ""};
}
ExpectedRequest reportRequest(const std::string& reason) {
  return {RequestKind::service,
          "POST",
          kReportPath,
          {{"action_id", "X9"}, {"result", "FAILED"}},
          reportBody(reason)};
}

enum class StoreAfter { unchanged, renewed };
enum class End { exitZero, killed };

struct Expect {
  std::vector<Line> log{};
  std::vector<ExpectedRequest> requests{};
  StoreAfter store = StoreAfter::unchanged;
  End end = End::exitZero;
  bool forwarderStarted = false;
  bool packageToolStarted = false;
  bool packageLeft = false;  // the served bytes at /tmp/ForwarderInstallerPackage.pkg, else
                             // the previous package or nothing
  bool updaterStarted = false;
};

struct Scenario {
  std::string name{};
  std::string summary{};
  Machine machine{};
  Service service{};
  std::string randomBytes = "zero";
  std::string stopAfter{};
  bool killWhileDownloading = false;
  int timeoutSeconds = 30;
  Expect expect{};
};

// The records of a start whose update check is due, up to the run's start.
std::vector<Line> dueStart(std::vector<Line> extensionCheck, const char* delay = "0.000000") {
  std::vector<Line> lines = std::move(extensionCheck);
  lines.push_back({From::updater, "Last installation check timestamp: ${LAST_RUN}"});
  lines.push_back({From::updater, "New timestamp for installation check: ${NEW_LAST_RUN}"});
  lines.push_back({From::updater, std::string("Update process scheduled to be executed in ") +
                                      delay + " seconds."});
  return lines;
}

std::vector<Line> operator+(std::vector<Line> head, const std::vector<Line>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

const Line kNoDatabase{From::loader, "The file db.plist could not be loaded."};
const Line kRunStarted{From::updater, "Update process started."};
const Line kUpdateReceived{From::updater, "Action update received: X9"};
const std::vector<Line> kUpdaterLaunched = {
    kRunStarted,
    kUpdateReceived,
    {From::updater, "Package validated successfully."},
    {From::updater,
     "Executing 'orvanta-updater': path '/tmp/ForwarderInstallerPackage.pkg', action identifier "
     "'WDk=' asset identifier: A1"}};
const std::vector<Line> kRunWithoutAssetIdentifier = {
    kRunStarted, {From::updater, "Asset identifier Not available in the shared items storage."}};

Route actionsRoute(std::vector<Reply> replies) { return {"GET", kActionsPath, std::move(replies)}; }
Route packageRoute(Reply reply = {200, "", true}) { return {"GET", kPackageUrlPath, {reply}}; }
Route reportRoute(Reply reply = {200, "{}"}) { return {"POST", kReportPath, {reply}}; }

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> kScenarios = {
      {
          .name = "first_start_on_empty_machine",
          .summary = "no database, an empty store, nothing installed: the check is due and the "
                     "run ends without an asset identifier",
          .machine = {.forwarderInstalled = false,
                      .lastRun = LastRun::none,
                      .assetIdentifier = false},
          .service = {.routes = {actionsRoute({{200, R"({"actions":[]})"}})}},
          .expect = {.log = dueStart({kNoDatabase}) + kRunWithoutAssetIdentifier,
                     .store = StoreAfter::renewed},
      },
      {
          .name = "second_start_within_24_hours",
          .summary = "the last check was ten minutes ago: the start ends at the gate",
          .machine = {.lastRun = LastRun::recent},
          .service = {.routes = {actionsRoute({{200, R"({"actions":[]})"}})}},
          .expect = {.log = {kNoDatabase,
                             {From::updater, "Last installation check timestamp: ${LAST_RUN}"},
                             {From::updater,
                              "Update process skipped until 24 hours passed since the last "
                              "update check."}}},
      },
      {
          .name = "extension_allowed_but_not_active",
          .summary = "a policy allows the process monitor, which waits for the user: the "
                     "forwarder's install-extension command runs and its output is logged",
          .machine = {.dbPlist = dbPlist("activated_waiting_for_user"), .lastRun = LastRun::recent},
          .service = {.routes = {actionsRoute({{200, R"({"actions":[]})"}})}},
          .expect = {.log = {{From::loader, "Installing extension."},
                             {From::loader,
                              "Orvanta Forwarder command output:\n"
                              "Extension installation requested.\nActivation pending."},
                             {From::updater, "Last installation check timestamp: ${LAST_RUN}"},
                             {From::updater,
                              "Update process skipped until 24 hours passed since the last "
                              "update check."}},
                     .forwarderStarted = true},
      },
      {
          .name = "no_pending_update",
          .summary = "the extension is active (binary database), the service has no update "
                     "for the asset",
          .machine = {.dbPlist = dbPlist("activated_enabled"),
                      .binaryDbPlist = true,
                      .lastRun = LastRun::old},
          .service = {.routes = {actionsRoute({{200, R"({"actions":[]})"}})}},
          .expect = {.log = dueStart({{From::loader, "The System extension is already active."}}) +
                            std::vector<Line>{kRunStarted, {From::updater, "No need for upgrade"}},
                     .requests = {actionsRequest()},
                     .store = StoreAfter::renewed},
      },
      {
          .name = "update_installed",
          .summary = "the second of three actions is the first update: the package is "
                     "downloaded, checked and handed to the updater",
          .machine = {.lastRun = LastRun::old},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${PACKAGE_SHA256}")}}),
                                 packageRoute(), reportRoute()}},
          .expect = {.log = dueStart({kNoDatabase}) + kUpdaterLaunched +
                            std::vector<Line>{// Only when the updater ends before the agent does.
                                              {From::updater, "Command output: <private>", true}},
                     .requests = {actionsRequest(), downloadRequest()},
                     .store = StoreAfter::renewed,
                     .packageToolStarted = true,
                     .packageLeft = true,
                     .updaterStarted = true},
      },
      {
          .name = "updater_outlives_the_agent",
          .summary = "once the agent has exited, the updater writes 1 MiB to each of stdout and "
                     "stderr: it runs to its end and its output reaches the agent's stderr",
          .machine = {.lastRun = LastRun::old, .updaterWritesLate = true},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${PACKAGE_SHA256}")}}),
                                 packageRoute(), reportRoute()}},
          .expect = {.log = dueStart({kNoDatabase}) + kUpdaterLaunched,
                     .requests = {actionsRequest(), downloadRequest()},
                     .store = StoreAfter::renewed,
                     .packageToolStarted = true,
                     .packageLeft = true,
                     .updaterStarted = true},
      },
      {
          .name = "killed_while_downloading",
          .summary = "the package arrives slowly and the agent is killed while writing it: the "
                     "previous package stays and nothing else is left in /tmp",
          .machine = {.lastRun = LastRun::old, .previousPackage = true},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${PACKAGE_SHA256}")}}),
                                 packageRoute({200, "", true, 2000}), reportRoute()}},
          .killWhileDownloading = true,
          .expect = {.log =
                         dueStart({kNoDatabase}) + std::vector<Line>{kRunStarted, kUpdateReceived},
                     .requests = {actionsRequest(), downloadRequest()},
                     .store = StoreAfter::renewed,
                     .end = End::killed},
      },
      {
          .name = "checksum_mismatch_reported",
          .summary = "the service announces another digest: the failure is reported once and "
                     "no file is left",
          .machine = {.lastRun = LastRun::old},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${OTHER_SHA256}")}}),
                                 packageRoute(), reportRoute()}},
          .expect = {.log = dueStart({kNoDatabase}) +
                            std::vector<Line>{
                                kRunStarted,
                                kUpdateReceived,
                                {From::updater,
                                 "Error downloading the package: The SHA256 package checksum is "
                                 "invalid. Expected: ${OTHER_SHA256}, Received: "
                                 "${PACKAGE_SHA256}"}},
                     .requests = {actionsRequest(), downloadRequest(),
                                  reportRequest("Error downloading the package: The SHA256 "
                                                "package checksum is invalid. Expected: "
                                                "${OTHER_SHA256}, Received: ${PACKAGE_SHA256}")},
                     .store = StoreAfter::renewed},
      },
      {
          .name = "package_not_notarized_reported",
          .summary = "the package tool shows no notarization: the refusal is reported once",
          .machine = {.lastRun = LastRun::old,
                      .packageToolOutput = withoutLine(kSignedPackageOutput, "Notarization:")},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${PACKAGE_SHA256}")}}),
                                 packageRoute(), reportRoute()}},
          .expect = {.log = dueStart({kNoDatabase}) +
                            std::vector<Line>{kRunStarted,
                                              kUpdateReceived,
                                              {From::updater, "The package is not notarized."}},
                     .requests = {actionsRequest(), downloadRequest(),
                                  reportRequest("The package is not notarized.")},
                     .store = StoreAfter::renewed,
                     .packageToolStarted = true,
                     .packageLeft = true},
      },
      {
          .name = "actions_retried_after_502",
          .summary = "the actions request is answered 502, then 200 thirty seconds later",
          .machine = {.lastRun = LastRun::old},
          .service = {.routes = {actionsRoute(
                          {{502, "Bad Gateway"}, {200, R"({"actions":[{"id":"N1"}]})"}})}},
          .timeoutSeconds = 120,
          .expect = {.log = dueStart({kNoDatabase}) +
                            std::vector<Line>{
                                kRunStarted,
                                {From::api,
                                 "Retry scheduled: Request to <private> failed with a status "
                                 "code <private>"},
                                {From::api, "Retrying request to assets/A1/actions"},
                                {From::updater, "No need for upgrade"}},
                     .requests = {actionsRequest(), actionsRequest()},
                     .store = StoreAfter::renewed},
      },
      {
          .name = "service_unreachable",
          .summary = "nothing listens at the service's address: the run ends without a report",
          .machine = {.lastRun = LastRun::old},
          .service = {.up = false},
          .expect = {.log = dueStart({kNoDatabase}) +
                            std::vector<Line>{kRunStarted,
                                              {From::updater,
                                               "Error getting update action: The server "
                                               "returned a bad response."}},
                     .store = StoreAfter::renewed},
      },
      {
          .name = "no_asset_identifier",
          .summary = "the check is due but the forwarder has stored no asset identifier",
          .machine = {.lastRun = LastRun::old, .assetIdentifier = false},
          .service = {.routes = {actionsRoute({{200, R"({"actions":[]})"}})}},
          .expect = {.log = dueStart({kNoDatabase}) + kRunWithoutAssetIdentifier,
                     .store = StoreAfter::renewed},
      },
      {
          .name = "killed_during_the_random_wait",
          .summary = "the longest delay is drawn and the agent is killed while it waits: the "
                     "new check time stays",
          .machine = {.lastRun = LastRun::old},
          .service = {.routes = {actionsRoute({{200, R"({"actions":[]})"}})}},
          .randomBytes = "ones",
          .stopAfter = "Update process scheduled to be executed in",
          .expect = {.log = dueStart({kNoDatabase}, "900.000000"),
                     .store = StoreAfter::renewed,
                     .end = End::killed},
      },
      {
          .name = "package_tool_failure_report_refused",
          .summary = "the package tool fails and the service refuses the report with 500",
          .machine = {.lastRun = LastRun::old,
                      .packageToolOutput = "pkgutil: cannot read the package archive",
                      .packageToolStatus = 1},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${PACKAGE_SHA256}")}}),
                                 packageRoute(), reportRoute({500, "report store unavailable"})}},
          .expect = {.log = dueStart({kNoDatabase}) +
                            std::vector<Line>{kRunStarted,
                                              kUpdateReceived,
                                              {From::updater, "Package could not be validated."},
                                              {From::updater, "Command output: <private>"},
                                              {From::reporter,
                                               "Error reporting installation failed: report store "
                                               "unavailable"}},
                     .requests = {actionsRequest(), downloadRequest(),
                                  reportRequest("Package could not be validated.")},
                     .store = StoreAfter::renewed,
                     .packageToolStarted = true,
                     .packageLeft = true},
      },
      {
          .name = "download_refused_reported",
          .summary = "the package download is answered 404: the failure is reported once",
          .machine = {.lastRun = LastRun::old},
          .service = {.routes = {actionsRoute({{200, actionsAnswer("${PACKAGE_SHA256}")}}),
                                 packageRoute({404, "no such package"}), reportRoute()}},
          .expect = {.log = dueStart({kNoDatabase}) +
                            std::vector<Line>{
                                kRunStarted,
                                kUpdateReceived,
                                {From::updater,
                                 "Error downloading the package: Wrong status code received "
                                 "during download status code: 404"}},
                     .requests = {actionsRequest(), downloadRequest(),
                                  reportRequest("Error downloading the package: Wrong status "
                                                "code received during download status code: "
                                                "404")},
                     .store = StoreAfter::renewed},
      },
  };
  return kScenarios;
}

// ---------------------------------------------------------------------------
// Helpers.

std::string expand(std::string text, const std::map<std::string, std::string>& variables) {
  for (const auto& [name, value] : variables) {
    const std::string token = "${" + name + "}";
    for (std::size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  }
  return text;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::ostringstream hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(digest[i]);
  }
  return hex.str();
}

std::string makePackageBytes() {
  std::mt19937 generator(20261206);
  std::string bytes(256 * 1024 + 123, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A stand-in program: records its arguments (NUL-terminated) under
// /e2e-record, prints `output` and exits with `status`.
std::string standIn(const std::string& record, const std::string& output, int status) {
  return "#!/bin/bash\nprintf '%s\\0' \"$@\" > /e2e-record/" + record + "\nprintf '%s' " +
         shellQuote(output) + "\nexit " + std::to_string(status) + "\n";
}

// What the late updater writes to each of stdout and stderr: lines of 64 bytes
// that start with kLateOutputTag and the stream's name.
constexpr std::size_t kLateOutputBytes = 1 << 20;
constexpr std::string_view kLateOutputTag = "updater stand-in ";

// An updater stand-in that outlives the agent: it waits until the agent that
// started it has exited (its parent is then the sandbox's init, PID 1; the
// agent may be gone before the script starts), writes kLateOutputBytes to
// stdout, then to stderr, and only then records its arguments, so one that
// dies on the way records nothing.
std::string lateUpdater() {
  const auto line = [](const std::string& stream) {
    std::string text = std::string(kLateOutputTag) + stream + " after the agent exited ";
    text.resize(63, '.');
    return text + "\n";
  };
  return R"sh(#!/bin/bash
set -e
# /proc/<pid>/stat: pid (name) state ppid ...; this name holds no space.
until read -r _ _ _ parent _ </proc/$$/stat && ((parent == 1)); do sleep 0.01; done
out=')sh" +
         line("stdout") + "'\nerr='" + line("stderr") + R"sh('
while ((${#out} < )sh" +
         std::to_string(kLateOutputBytes) + R"sh()); do out+=$out err+=$err; done
printf '%s' "$out"
printf '%s' "$err" >&2
printf '%s\0' "$@" >/e2e-record/updater.args
)sh";
}

// Takes the lines that start with `tag` out of `text`, counting their bytes by
// the word after the tag.
std::string withoutTaggedLines(const std::string& text, std::string_view tag,
                               std::map<std::string, std::size_t>& bytes) {
  std::string rest;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
    const std::string_view line(text.data() + start, end - start);
    if (line.starts_with(tag)) {
      const std::size_t word = line.find(' ', tag.size());
      bytes[std::string(line.substr(tag.size(), word - tag.size()))] += line.size();
    } else {
      rest += line;
    }
    start = end;
  }
  return rest;
}

std::string formatTime(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

std::string octal(mode_t mode) {
  std::ostringstream text;
  text << std::oct << std::setw(4) << std::setfill('0') << mode;
  return text.str();
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : " ") + part;
  return text;
}

std::string describeLog(const std::vector<LogEntry>& log) {
  std::string text;
  for (std::size_t i = 0; i < log.size(); ++i) {
    text += "  " + std::to_string(i + 1) + ". [" + log[i].subsystem + ":" + log[i].category + "] " +
            log[i].message + "\n";
  }
  return text.empty() ? "  (none)\n" : text;
}

std::string describeExpected(const std::vector<Line>& lines,
                             const std::map<std::string, std::string>& variables) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto [subsystem, category] = loggerOf(lines[i].from);
    text += "  " + std::to_string(i + 1) + ". [" + subsystem + ":" + category + "] " +
            expand(lines[i].text, variables) + (lines[i].optional ? "   (optional)" : "") + "\n";
  }
  return text;
}

std::string describeRequests(const std::vector<RecordedRequest>& requests) {
  std::string text;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const RecordedRequest& request = requests[i];
    text += "  " + std::to_string(i + 1) + ". " + request.method + " " + request.target + "\n";
    for (const auto& [name, value] : request.headers) {
      text += "       " + name + ": " + value + "\n";
    }
    if (!request.body.empty()) text += "       body: " + request.body + "\n";
  }
  return text.empty() ? "  (none)\n" : text;
}

// Everything a person wants to see of one run.
std::string describeRun(const Scenario& scenario, const Outcome& outcome,
                        const std::optional<fs::path>& keptWork, const std::string& package) {
  std::ostringstream text;
  const auto arguments = [](const std::optional<std::vector<std::string>>& recorded) {
    return recorded ? "started with: " + joined(*recorded) : std::string("not started");
  };
  text << "==== scenario " << scenario.name << ": " << scenario.summary << "\n";
  text << "---- the agent's log (stderr); "
       << (outcome.stopped    ? "killed by the sandbox"
           : outcome.timedOut ? "KILLED after " + std::to_string(scenario.timeoutSeconds) + " s"
                              : "exit status " + std::to_string(outcome.status))
       << "\n"
       << outcome.stderrText;
  if (!outcome.stderrText.empty() && outcome.stderrText.back() != '\n') text << "\n";
  if (!outcome.stdoutText.empty())
    text << "---- the agent's stdout\n" << outcome.stdoutText << "\n";
  if (scenario.service.up) {
    text << "---- the simulated service (https://updates.kelvane.com) received "
         << outcome.requests.size() << " request(s)\n"
         << describeRequests(outcome.requests);
  } else {
    text << "---- the simulated service: nothing listened on updates.kelvane.com:443\n";
  }
  if (!outcome.simulatorErrors.empty()) {
    text << "---- the simulator's stderr\n" << outcome.simulatorErrors << "\n";
  }
  text << "---- the forwarder's install command: " << arguments(outcome.forwarderArguments) << "\n";
  text << "---- /usr/sbin/pkgutil: " << arguments(outcome.packageToolArguments) << "\n";
  text << "---- the updater: " << arguments(outcome.updaterArguments) << "\n";
  text << "---- " << kPackagePath << ": ";
  if (outcome.package) {
    text << outcome.package->size() << " bytes, mode " << octal(outcome.packageMode) << ", SHA-256 "
         << sha256Hex(*outcome.package)
         << (*outcome.package == package ? " (the served package)" : " (NOT the served package)")
         << "\n";
  } else {
    text << "absent\n";
  }
  text << "---- /tmp holds: "
       << (outcome.tmpEntries.empty() ? "nothing" : joined(outcome.tmpEntries)) << "\n";
  text << "---- the shared items store: ";
  if (!outcome.store) {
    text << "absent\n";
  } else {
    text << Sandbox::kStorePath << ", mode " << octal(outcome.storeMode) << "\n";
    for (const StoreRow& row : *outcome.store) {
      text << "  " << row.account << " = \"" << row.value << "\" (" << row.valueType
           << ", service \"" << row.service << "\", \"" << row.accessDescription << "\", trusted "
           << row.trustedApplications << ")\n";
    }
  }
  if (keptWork) text << "---- kept in " << keptWork->string() << "\n";
  return text.str();
}

// Compares the log with the expected lines in order; an optional line may be
// missing. Returns the first difference, or nothing.
std::optional<std::string> compareLog(const std::vector<Line>& expected,
                                      const std::vector<LogEntry>& actual,
                                      const std::map<std::string, std::string>& variables) {
  std::size_t next = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto [subsystem, category] = loggerOf(expected[i].from);
    const std::string text = expand(expected[i].text, variables);
    const bool matches = next < actual.size() && actual[next].subsystem == subsystem &&
                         actual[next].category == category && actual[next].message == text;
    if (matches) {
      ++next;
    } else if (!expected[i].optional) {
      return "expected record " + std::to_string(i + 1) + " [" + subsystem + ":" + category +
             "] \"" + text + "\", found " +
             (next < actual.size() ? "[" + actual[next].subsystem + ":" + actual[next].category +
                                         "] \"" + actual[next].message + "\""
                                   : std::string("the end of the log"));
    }
  }
  if (next < actual.size()) {
    return "unexpected record after the expected ones: [" + actual[next].subsystem + ":" +
           actual[next].category + "] \"" + actual[next].message + "\"";
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The runner.

Tools tools() {
  return Tools{gOptions.agent, QUARN_E2E_SIMULATOR, QUARN_E2E_PRELOAD, QUARN_E2E_SANDBOX_SCRIPT};
}

// Why this machine cannot host the sandbox, or nothing.
const std::optional<std::string>& sandboxUnavailable() {
  static const std::optional<std::string> kReason = []() -> std::optional<std::string> {
    if (::geteuid() != 0) {
      return "the end-to-end sandbox starts the agent as root in namespaces of its own; run "
             "as root";
    }
    std::string errors;
    int status = -1;
    try {
      status = runCommand({"unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc",
                           "--propagation", "private", "true"},
                          nullptr, &errors);
    } catch (const std::exception& error) {
      errors = error.what();
    }
    if (status != 0) {
      return "this machine refuses private mount, network and PID namespaces (unshare: " + errors +
             ")";
    }
    return std::nullopt;
  }();
  return kReason;
}

// One scenario of the table; registered by main() as EndToEnd.<name>.
class EndToEnd : public testing::Test {
 public:
  explicit EndToEnd(const Scenario& scenario) : scenario_(scenario) {}
  void TestBody() override;

 private:
  const Scenario& scenario_;
};

void EndToEnd::TestBody() {
  if (const auto& reason = sandboxUnavailable()) GTEST_SKIP() << *reason;
  const Scenario& scenario = scenario_;
  const Machine& machine = scenario.machine;
  const Expect& expect = scenario.expect;
  ASSERT_TRUE(fs::exists(gOptions.agent))
      << "the installed agent is missing at " << gOptions.agent
      << " (ctest installs it first with the e2e_install_agent test; by hand: cmake --install "
         "<build> --prefix <build>/tests/e2e/prefix)";

  Sandbox sandbox(tools(), gOptions.work / scenario.name);
  const std::string package = makePackageBytes();
  const double now = wallClockNow();
  std::map<std::string, std::string> variables{
      {"PACKAGE_SHA256", sha256Hex(package)},
      {"OTHER_SHA256", sha256Hex("another package")},
      {"LAST_RUN", "0"},
  };

  // The machine.
  sandbox.makeTestAuthority();
  if (machine.dbPlist) {
    sandbox.writeFile("/Library/SystemExtensions/db.plist", *machine.dbPlist);
    if (machine.binaryDbPlist) {
      const std::string file = sandbox.hostPath("/Library/SystemExtensions/db.plist").string();
      std::string errors;
      ASSERT_EQ(
          runCommand({"plistutil", "-i", file, "-o", file + ".bin", "-f", "bin"}, nullptr, &errors),
          0)
          << "plistutil (libplist-utils) converts the database to binary: " << errors;
      fs::rename(file + ".bin", file);
    }
  }
  if (machine.forwarderInstalled) {
    sandbox.writeFile(kForwarderExecutable, standIn("forwarder.args", machine.forwarderOutput, 0),
                      0755);
    sandbox.writeFile(kUpdaterExecutable,
                      machine.updaterWritesLate ? lateUpdater() : standIn("updater.args", "", 0),
                      0755);
    fs::create_directories(sandbox.hostPath(kQuarnBundle));
  }
  sandbox.writeFile("/usr/sbin/pkgutil",
                    standIn("pkgutil.args", machine.packageToolOutput, machine.packageToolStatus),
                    0755);
  const std::optional<std::string> packageBefore =
      machine.previousPackage ? std::optional<std::string>("the package of an earlier update\n")
                              : std::nullopt;
  if (packageBefore) sandbox.writeFile(kPackagePath, *packageBefore, 0600);
  std::map<std::string, std::string> items;
  if (machine.lastRun != LastRun::none) {
    variables["LAST_RUN"] =
        formatTime(machine.lastRun == LastRun::recent ? now - 600 : now - 3 * 86400.0);
    items["UpdateLastRun"] = variables["LAST_RUN"];
  }
  if (machine.assetIdentifier) items["SharedAssetIdentifier"] = kAsset;
  if (!items.empty()) sandbox.seedStore(items);
  const auto storeBefore = sandbox.readStore();

  // The service.
  nlohmann::json routes = nlohmann::json::array();
  const fs::path packageFile = sandbox.work() / "service/package.bin";
  {
    std::ofstream out(packageFile, std::ios::binary);
    out << package;
  }
  for (const Route& route : scenario.service.routes) {
    nlohmann::json answers = nlohmann::json::array();
    for (const Reply& reply : route.replies) {
      nlohmann::json answer{{"status", reply.status}, {"body", expand(reply.body, variables)}};
      if (reply.package) answer["bodyFile"] = packageFile.string();
      if (reply.trickleMilliseconds > 0) answer["trickle"] = reply.trickleMilliseconds;
      answers.push_back(answer);
    }
    routes.push_back({{"method", route.method}, {"path", route.path}, {"answers", answers}});
  }
  sandbox.writeServiceScript(nlohmann::json{{"routes", routes}}.dump(2));

  // The start.
  Outcome outcome;
  try {
    outcome = sandbox.run({.serviceUp = scenario.service.up,
                           .randomBytes = scenario.randomBytes,
                           .stopAfter = scenario.stopAfter,
                           .killWhileDownloading = scenario.killWhileDownloading,
                           .timeoutSeconds = scenario.timeoutSeconds});
  } catch (const std::exception& error) {
    FAIL() << error.what() << "\nwork folder: " << sandbox.work();
  }

  // The output of an updater that outlives the agent follows the log on the
  // agent's stderr.
  if (machine.updaterWritesLate) {
    std::map<std::string, std::size_t> lateOutput;
    outcome.stderrText = withoutTaggedLines(outcome.stderrText, kLateOutputTag, lateOutput);
    outcome.log = parseAgentLog(outcome.stderrText);
    EXPECT_EQ(lateOutput, (std::map<std::string, std::size_t>{{"stdout", kLateOutputBytes},
                                                              {"stderr", kLateOutputBytes}}))
        << "bytes of the updater's output, by stream, on the agent's stderr";
  }

  // The store comes first: the log names the time it holds.
  const StoreRow* lastRun = nullptr;
  if (outcome.store) {
    for (const StoreRow& row : *outcome.store) {
      if (row.account == "UpdateLastRun") lastRun = &row;
    }
  }
  if (lastRun != nullptr) variables["NEW_LAST_RUN"] = lastRun->value;

  // How it ended.
  EXPECT_FALSE(outcome.timedOut) << "the agent did not end within " << scenario.timeoutSeconds
                                 << " s and was killed";
  if (expect.end == End::exitZero) {
    EXPECT_EQ(outcome.status, 0) << "the agent must end with exit status 0";
  } else {
    EXPECT_TRUE(outcome.stopped) << (scenario.killWhileDownloading
                                         ? "the agent was never seen writing the package"
                                         : "the agent never logged \"" + scenario.stopAfter + "\"");
    EXPECT_EQ(outcome.status, 128 + 9) << "the agent was to be killed by the sandbox";
  }

  // The log.
  for (const LogEntry& entry : outcome.log) {
    EXPECT_EQ(entry.pid, outcome.log.front().pid)
        << "every record comes from the one agent process: " << entry.message;
  }
  if (const auto difference = compareLog(expect.log, outcome.log, variables)) {
    ADD_FAILURE() << "the log differs: " << *difference << "\nexpected:\n"
                  << describeExpected(expect.log, variables) << "found:\n"
                  << describeLog(outcome.log);
  }

  // The service.
  if (outcome.requests.size() != expect.requests.size()) {
    ADD_FAILURE() << "the service expected " << expect.requests.size()
                  << " request(s) and received " << outcome.requests.size() << ":\n"
                  << describeRequests(outcome.requests);
  } else {
    for (std::size_t i = 0; i < expect.requests.size(); ++i) {
      const ExpectedRequest& wanted = expect.requests[i];
      const RecordedRequest& got = outcome.requests[i];
      SCOPED_TRACE("request " + std::to_string(i + 1) + ": " + got.method + " " + got.target);
      EXPECT_EQ(got.method, wanted.method);
      EXPECT_EQ(got.path, wanted.path);
      EXPECT_EQ(got.query, wanted.query);
      EXPECT_EQ(got.body, expand(wanted.body, variables));
      const auto header = [&got](const char* name) {
        const auto found = got.headers.find(name);
        return found == got.headers.end() ? std::string("(absent)") : found->second;
      };
      EXPECT_EQ(header("host"), "updates.kelvane.com");
      if (wanted.kind == RequestKind::service) {
        EXPECT_EQ(header("accept"), "application/json");
        EXPECT_EQ(header("content-type"),
                  wanted.method == "POST" ? "application/json" : "(absent)");
      } else {
        EXPECT_NE(header("accept"), "application/json")
            << "the download carries none of the service's headers";
        EXPECT_EQ(header("content-type"), "(absent)");
      }
    }
  }

  // The programs it started.
  EXPECT_EQ(outcome.forwarderArguments.has_value(), expect.forwarderStarted)
      << "the forwarder's install-extension command";
  if (expect.forwarderStarted && outcome.forwarderArguments) {
    EXPECT_EQ(*outcome.forwarderArguments, std::vector<std::string>{"install-extension"});
  }
  EXPECT_EQ(outcome.packageToolArguments.has_value(), expect.packageToolStarted)
      << "/usr/sbin/pkgutil";
  if (expect.packageToolStarted && outcome.packageToolArguments) {
    EXPECT_EQ(*outcome.packageToolArguments,
              (std::vector<std::string>{"--check-signature", kPackagePath}));
  }
  EXPECT_EQ(outcome.updaterArguments.has_value(), expect.updaterStarted) << "the updater";
  if (expect.updaterStarted && outcome.updaterArguments) {
    EXPECT_EQ(*outcome.updaterArguments,
              (std::vector<std::string>{"--path", kPackagePath, "--action-identifier",
                                        "WDk=", "--asset-identifier", kAsset}));
  }

  // The files.
  if (!expect.packageLeft) {
    EXPECT_TRUE(outcome.package == packageBefore)
        << kPackagePath
        << (packageBefore ? " must still hold the previous package" : " must not exist");
  } else if (!outcome.package) {
    ADD_FAILURE() << kPackagePath << " is missing";
  } else {
    EXPECT_TRUE(*outcome.package == package)
        << kPackagePath << " must hold exactly the served bytes (" << package.size()
        << " bytes, SHA-256 " << sha256Hex(package) << "), it holds " << outcome.package->size()
        << " bytes, SHA-256 " << sha256Hex(*outcome.package);
    EXPECT_EQ(octal(outcome.packageMode), "0600") << kPackagePath;
  }
  EXPECT_EQ(outcome.tmpEntries, outcome.package
                                    ? std::vector<std::string>{"ForwarderInstallerPackage.pkg"}
                                    : std::vector<std::string>{})
      << "/tmp holds nothing but the package";

  // The store.
  ASSERT_TRUE(outcome.store.has_value() || expect.store == StoreAfter::unchanged)
      << "the store was not created";
  if (outcome.store) {
    EXPECT_EQ(octal(outcome.storeMode), "0600") << Sandbox::kStorePath;
    ASSERT_TRUE(outcome.storeFolderMode.has_value());
    EXPECT_EQ(octal(*outcome.storeFolderMode), "0700") << "/var/lib/orvanta-forwarder";
  }
  if (expect.store == StoreAfter::unchanged) {
    EXPECT_TRUE(outcome.store == storeBefore) << "the store must be left as it was";
  } else if (outcome.store) {
    ASSERT_NE(lastRun, nullptr) << "no UpdateLastRun item was written";
    EXPECT_EQ(lastRun->service, "Orvanta Forwarder");
    EXPECT_EQ(lastRun->accessDescription, "Shared Item Access");
    EXPECT_EQ(lastRun->valueType, "blob");
    EXPECT_EQ(nlohmann::json::parse(lastRun->trustedApplications),
              machine.forwarderInstalled ? nlohmann::json::array({kQuarnBundle})
                                         : nlohmann::json::array())
        << "the agent's own bundle is trusted when it exists";
    EXPECT_TRUE(std::regex_match(lastRun->value, std::regex(R"([0-9]+\.[0-9]+)")))
        << "UpdateLastRun in plain decimal: " << lastRun->value;
    const double written = std::strtod(lastRun->value.c_str(), nullptr);
    EXPECT_TRUE(written >= outcome.startedAt - 0.001 && written <= outcome.endedAt + 0.001)
        << "UpdateLastRun " << lastRun->value << " is not the time of this start, which ran from "
        << std::fixed << std::setprecision(3) << outcome.startedAt << " to " << outcome.endedAt;
    // The other items stay as they were.
    std::vector<StoreRow> others;
    for (const StoreRow& row : *outcome.store) {
      if (row.account != "UpdateLastRun") others.push_back(row);
    }
    std::vector<StoreRow> othersBefore;
    for (const StoreRow& row : storeBefore.value_or(std::vector<StoreRow>{})) {
      if (row.account != "UpdateLastRun") othersBefore.push_back(row);
    }
    EXPECT_TRUE(others == othersBefore) << "only UpdateLastRun may change";
  }

  const bool keep = HasFailure() || gOptions.keep;
  if (HasFailure() || gOptions.show) {
    std::cout << describeRun(scenario, outcome,
                             keep ? std::optional<fs::path>(sandbox.work()) : std::nullopt, package)
              << std::flush;
  }
  if (!keep) fs::remove_all(sandbox.work());
}

void registerScenarios() {
  for (const Scenario& scenario : scenarios()) {
    testing::RegisterTest("EndToEnd", scenario.name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                          [&scenario]() -> testing::Test* { return new EndToEnd(scenario); });
  }
}

// The log reader that every scenario relies on.
TEST(AgentLog, SplitsRecordsAndKeepsMultiLineMessages) {
  struct Case {
    std::string text;
    std::vector<LogEntry> records;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"2026-12-06T07:01:02.345Z quarn[12] [com.kelvane.Orvanta.quarn:Package Updater] "
       "Update process started.\n",
       {{"com.kelvane.Orvanta.quarn", "Package Updater", "Update process started.", "12"}}},
      {"2026-12-06T07:01:02.345Z quarn[3] [com.kelvane.Orvanta.quarn:Orvanta Quarn] Orvanta "
       "Forwarder command output:\nline one\n\nline three\n"
       "2026-12-06T07:01:02.400Z quarn[3] [com.kelvane.Orvanta.Updater:Package Updater] next\n",
       {{"com.kelvane.Orvanta.quarn", "Orvanta Quarn",
         "Orvanta Forwarder command output:\nline one\n\nline three", "3"},
        {"com.kelvane.Orvanta.Updater", "Package Updater", "next", "3"}}},
      // A message that ends in a line feed keeps it.
      {"2026-12-06T07:01:02.345Z quarn[3] [a.b:C] text\n\n", {{"a.b", "C", "text\n", "3"}}},
      // Output that is not a record is kept and shows up.
      {"stray\n2026-12-06T07:01:02.345Z quarn[3] [a.b:C] text",
       {{"(not a log record)", "", "stray", ""}, {"a.b", "C", "text", "3"}}},
      // A time without milliseconds does not start a record.
      {"2026-12-06T07:01:02Z quarn[3] [a.b:C] text\n",
       {{"(not a log record)", "", "2026-12-06T07:01:02Z quarn[3] [a.b:C] text", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseAgentLog(c.text), c.records);
  }
}

}  // namespace
}  // namespace quarn::e2e

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  using quarn::e2e::gOptions;
  quarn::e2e::registerScenarios();
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--show") {
      gOptions.show = true;
    } else if (argument == "--keep") {
      gOptions.keep = true;
    } else if (argument.rfind("--agent=", 0) == 0) {
      gOptions.agent = argument.substr(8);
    } else if (argument.rfind("--work=", 0) == 0) {
      gOptions.work = argument.substr(7);
    } else {
      std::cerr << "e2e_test: unknown option " << argument << "\n";
      return 2;
    }
  }
  return RUN_ALL_TESTS();
}
