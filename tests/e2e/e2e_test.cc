// End-to-end scenarios: the installed quarn binary, unmodified, started once
// per row as root in private mount, network and PID namespaces (sandbox.sh) on
// a machine made up for it, against a simulated update service
// (service_simulator.cc) and stand-ins for the package tool and the updater.
// The rows keep to what only the real binary shows: how the process ends, its
// log records on stderr, the requests the service received, the programs it
// started, what it left in /tmp and the store row the forwarder reads.
//
//   e2e_test [--show] [GoogleTest options]
// --show prints each run and keeps its work folder (a failing run always does).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarn::e2e {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

bool gShow = false;

constexpr const char* kPackage = "/tmp/ForwarderInstallerPackage.pkg";
constexpr const char* kStore = "/var/lib/orvanta-forwarder/shared-items.sqlite";
constexpr const char* kQuarnBundle = "/Applications/Orvanta Forwarder.app/Contents/MacOS/quarn.app";
constexpr const char* kUpdater =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/orvanta-updater.app/Contents/MacOS/"
    "orvanta-updater";
constexpr std::size_t kLateOutputBytes = 1 << 20;  // what the updater writes to each stream
const std::string kLoaderLog = "[com.kelvane.Orvanta.quarn:Orvanta Quarn] ";
const std::string kUpdaterLog = "[com.kelvane.Orvanta.quarn:Package Updater] ";
const std::string kActions = "GET /v1/assets/A1/actions";
const std::string kDownload = "GET /packages/p.pkg";

struct Scenario {
  const char* name;
  bool checkedRecently = false;  // the last check was ten minutes ago, else three days
  bool notarized = true;         // the package tool vouches for notarization
  // The package trickles in and the agent is killed while writing it; /tmp
  // holds the package of an earlier update.
  bool killWhileDownloading = false;
  std::vector<std::string> log{};       // the records after those of the start
  std::vector<std::string> requests{};  // in order
  bool packageToolRuns = false;         // and the served package stays in /tmp
  bool updaterRuns = false;             // it outlives the agent and writes much to both streams
};

const Scenario kScenarios[] = {
    {.name = "update_installed",
     .log = {kUpdaterLog + "Package validated successfully.",
             kUpdaterLog +
                 "Executing 'orvanta-updater': path '/tmp/ForwarderInstallerPackage.pkg', action "
                 "identifier 'WDk=' asset identifier: A1"},
     .requests = {kActions, kDownload},
     .packageToolRuns = true,
     .updaterRuns = true},
    {.name = "package_not_notarized_reported",
     .notarized = false,
     .log = {kUpdaterLog + "The package is not notarized."},
     .requests = {kActions, kDownload,
                  "POST /v1/assets/A1/action-result?action_id=X9&result=FAILED \"update failed "
                  "because The package is not notarized.\""},
     .packageToolRuns = true},
    {.name = "second_start_within_24_hours",
     .checkedRecently = true,
     .log = {kUpdaterLog +
             "Update process skipped until 24 hours passed since the last update check."}},
    {.name = "killed_while_downloading",
     .killWhileDownloading = true,
     .requests = {kActions, kDownload}},
};

// The records of the agent's stderr, each "[subsystem:category] message",
// with the process ids they name. A line that is not a record, as
// "<UTC time with ms>Z quarn[<pid>] [<subsystem>:<category>] <message>",
// stays as "(not a log record) <line>", so that it fails any comparison.
std::vector<std::string> parseAgentLog(const std::string& text, std::set<std::string>& pids) {
  static const std::regex kRecord(
      R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z quarn\[(\d+)\] (\[[^:\]]+:[^\]]+\] .*))");
  std::vector<std::string> records;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_match(line, match, kRecord)) {
      records.push_back("(not a log record) " + line);
      continue;
    }
    pids.insert(match[1]);
    records.push_back(match[2]);
  }
  return records;
}

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename Value>
std::string printed(const char* format, Value value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Runs a shell command with stdin from /dev/null and its output in `log`;
// throws with that output unless the command succeeds.
void run(const std::string& command, const fs::path& log) {
  const std::string line = "(" + command + ") </dev/null >" + quote(log.string()) + " 2>&1";
  if (const int status = std::system(line.c_str()); status != 0) {
    throw std::runtime_error(command + "\nfailed (wait status " + std::to_string(status) + "):\n" +
                             readFile(log));
  }
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex += printed("%02x", digest[i]);
  return hex;
}

// A file's permission bits in octal.
std::string mode(const fs::path& path) {
  return printed("%o", static_cast<unsigned>(fs::status(path).permissions()));
}

// Why this machine cannot host the sandbox, or nothing.
const std::optional<std::string>& sandboxUnavailable() {
  static const std::optional<std::string> kReason = []() -> std::optional<std::string> {
    if (::geteuid() != 0) return "the sandbox starts the agent as root in namespaces; run as root";
    const std::string probe = "unshare --mount --net --pid --fork --mount-proc true";
    if (std::system((probe + " </dev/null >/dev/null 2>&1").c_str()) != 0) {
      return "this machine refuses private mount, network and PID namespaces";
    }
    return std::nullopt;
  }();
  return kReason;
}

// One start of the agent on a machine laid out in a work folder of its own.
class EndToEnd : public testing::Test {
 public:
  explicit EndToEnd(const Scenario& scenario)
      : scenario_(scenario), work_(fs::path(QUARN_E2E_WORK) / scenario.name) {}
  void TestBody() override;

 private:
  // The host path behind `absolute` in the sandbox's root (below /etc, /tmp,
  // /var/lib, /Library, /Applications or /usr).
  fs::path host(const std::string& absolute) const {
    if (absolute.starts_with("/var/lib/")) return work_ / "machine/var-lib" / absolute.substr(9);
    return work_ / "machine" / absolute.substr(1);
  }
  void write(const std::string& absolute, const std::string& contents, int mode = 0644) const {
    fs::create_directories(host(absolute).parent_path());
    std::ofstream(host(absolute), std::ios::binary) << contents;
    fs::permissions(host(absolute), static_cast<fs::perms>(mode));
  }
  // The store's rows as the forwarder's processes read them.
  json readStore() const {
    run("sqlite3 -json -readonly " + quote(host(kStore)) +
            " 'SELECT account, service, access_description, trusted_applications, "
            "CAST(value AS TEXT) AS value, typeof(value) AS type FROM generic_passwords "
            "ORDER BY account'",
        work_ / "out/store.json");
    const std::string text = readFile(work_ / "out/store.json");
    json rows = text.find('[') == std::string::npos ? json::array() : json::parse(text);
    for (json& row : rows)
      row["trusted_applications"] = json::parse(std::string(row["trusted_applications"]));
    return rows;
  }
  // The arguments a stand-in recorded, each followed by "|".
  std::string recorded(const char* name) const {
    if (!fs::exists(work_ / "record" / name)) return "(not started)";
    std::string arguments = readFile(work_ / "record" / name);
    std::replace(arguments.begin(), arguments.end(), '\0', '|');
    return arguments;
  }

  const Scenario& scenario_;
  const fs::path work_;
};

void EndToEnd::TestBody() {
  if (const auto& reason = sandboxUnavailable()) GTEST_SKIP() << *reason;
  const Scenario& s = scenario_;
  fs::remove_all(work_);
  for (const char* folder : {"machine/tmp", "machine/var-lib", "machine/Library",
                             "machine/Applications", "machine/usr", "record", "service", "out"}) {
    fs::create_directories(work_ / folder);
  }
  fs::permissions(work_ / "machine/tmp", fs::perms::all | fs::perms::sticky_bit);

  // The machine: name service, the loader's cache, OpenSSL's settings, a test
  // CA as the whole trust store and the service's certificate signed by it.
  write("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 updates.kelvane.com\n");
  write("/etc/nsswitch.conf", "passwd: files\ngroup: files\nhosts: files\n");
  write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\n");
  write("/etc/group", "root:x:0:\n");
  for (const std::string file : {"/etc/ld.so.cache", "/etc/ssl/openssl.cnf"}) {
    if (fs::exists(file)) write(file, readFile(file));
  }
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
  run("cd " + quote((work_ / "service").string()) + " && openssl req -x509" + ec +
          " -keyout ca.key -out ca.crt -subj '/CN=quarn end-to-end test CA' && openssl req -x509" +
          ec +
          " -CA ca.crt -CAkey ca.key -keyout server.key -out server.crt -subj "
          "/CN=updates.kelvane.com -addext subjectAltName=DNS:updates.kelvane.com -addext "
          "basicConstraints=critical,CA:FALSE",
      work_ / "out/openssl.log");
  write("/etc/ssl/certs/ca-certificates.crt", readFile(work_ / "service/ca.crt"));

  // The forwarder's bundle with quarn.app in it, its updater, the package tool.
  fs::create_directories(host(kQuarnBundle));
  write(kUpdater,
        R"sh(#!/bin/bash
set -e
# Waits until the agent has exited (the parent is then the sandbox's init),
# writes much to both streams, and only then records its arguments.
until read -r _ _ _ parent _ </proc/$$/stat && ((parent == 1)); do sleep 0.01; done
head -c )sh" +
            std::to_string(kLateOutputBytes) + R"sh( /dev/zero | tr '\0' o; echo
{ head -c )sh" +
            std::to_string(kLateOutputBytes) + R"sh( /dev/zero | tr '\0' e; echo; } >&2
printf '%s\0' "$@" >/e2e-record/updater.args
)sh",
        0755);
  const std::string toolOutput =
      std::string("Package \"ForwarderInstallerPackage.pkg\":\n") +
      "   Status: signed by a developer certificate issued by Apple for distribution\n" +
      (s.notarized ? "   Notarization: trusted by the Apple notary service\n" : "") +
      "   Certificate Chain:\n    1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)\n"
      "    2. Developer ID Certification Authority\n    3. Apple Root CA\n"
      "       SHA256 Fingerprint:\n"
      "           B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C\n"
      "           68 C5 BE 91 B5 A1 10 01 F0 24\n";
  write("/usr/sbin/pkgutil",
        "#!/bin/bash\nprintf '%s\\0' \"$@\" >/e2e-record/pkgutil.args\nprintf '%s' " +
            quote(toolOutput) + "\n",
        0755);
  const std::string earlierPackage = "the package of an earlier update\n";
  if (s.killWhileDownloading) write(kPackage, earlierPackage, 0600);

  // The store as the forwarder leaves it: folder 0700, file 0600.
  const std::string lastRun = printed("%.2f", now() - (s.checkedRecently ? 600 : 3 * 86400));
  fs::create_directories(host(kStore).parent_path());
  fs::permissions(host(kStore).parent_path(), fs::perms::owner_all);
  run("sqlite3 -bail " + quote(host(kStore)) +
          " \"CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service TEXT NOT "
          "NULL, access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, value "
          "BLOB NOT NULL) STRICT; INSERT INTO generic_passwords VALUES ('SharedAssetIdentifier', "
          "'Orvanta Forwarder', 'Shared Item Access', '[]', CAST('A1' AS BLOB)), "
          "('UpdateLastRun', 'Orvanta Forwarder', 'Shared Item Access', '[]', CAST('" +
          lastRun + "' AS BLOB));\"",
      work_ / "out/seed.log");
  fs::permissions(host(kStore), fs::perms::owner_read | fs::perms::owner_write);
  json store = readStore();

  // The service: three actions, of which the second is the first update.
  std::mt19937 generator(20261206);
  std::string package(256 * 1024 + 123, '\0');
  for (char& byte : package) byte = static_cast<char>(generator() & 0xff);
  std::ofstream(work_ / "service/package.bin", std::ios::binary) << package;
  const auto update = [&](const char* id, const char* file) {
    return json{{"id", id},
                {"update",
                 {{"download_url", std::string("https://updates.kelvane.com/packages/") + file},
                  {"binary_sha256", sha256Hex(package)}}}};
  };
  json download{{"bodyFile", (work_ / "service/package.bin").string()}};
  if (s.killWhileDownloading) download["trickle"] = 2000;
  std::ofstream(work_ / "service/script.json")
      << json{{kActions,
               {{"body", json{{"actions",
                               {{{"id", "N1"}, {"kind", "inventory"}},
                                update("X9", "p.pkg"),
                                update("X10", "q.pkg")}}}
                             .dump()}}},
              {kDownload, download},
              {"POST /v1/assets/A1/action-result", {{"body", "{}"}}}};

  // The start.
  const double startedAt = now();
  run("exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private "
      "bash " +
          quote(QUARN_E2E_SANDBOX_SCRIPT) + " " + quote(work_.string()) + " " +
          quote(QUARN_E2E_AGENT) + " " + quote(QUARN_E2E_PRELOAD) + " " +
          quote(QUARN_E2E_SIMULATOR) + (s.killWhileDownloading ? " kill-while-downloading" : ""),
      work_ / "out/sandbox.log");
  const double endedAt = now();

  // How it ended.
  const int status = std::stoi(readFile(work_ / "out/agent.status"));
  EXPECT_FALSE(fs::exists(work_ / "out/agent.timeout")) << "the agent was killed after 30 s";
  EXPECT_EQ(fs::exists(work_ / "out/agent.stopped"), s.killWhileDownloading)
      << "killed while it wrote the package";
  EXPECT_EQ(status, s.killWhileDownloading ? 128 + 9 : 0) << "the agent's wait status";

  // The store: only the time of the check changes, to this start's, in plain
  // decimal, with the agent's own bundle trusted.
  const json after = readStore();
  std::string newLastRun = lastRun;
  for (json& row : store) {
    if (row["account"] != "UpdateLastRun" || s.checkedRecently) continue;
    for (const json& written : after) {
      if (written["account"] == "UpdateLastRun") newLastRun = written["value"];
    }
    row["value"] = newLastRun;
    row["trusted_applications"] = json::array({kQuarnBundle});
  }
  EXPECT_EQ(after, store);
  if (!s.checkedRecently) {
    const double written = std::strtod(newLastRun.c_str(), nullptr);
    EXPECT_TRUE(std::regex_match(newLastRun, std::regex(R"([0-9]+\.[0-9]+)")) &&
                written >= startedAt - 0.001 && written <= endedAt + 0.001)
        << "UpdateLastRun " << newLastRun << " is not the time of this start, which ran from "
        << printed("%.3f", startedAt) << " to " << printed("%.3f", endedAt);
  }
  EXPECT_EQ(mode(host(kStore).parent_path()) + " " + mode(host(kStore)), "700 600")
      << "the store's folder and file";

  // The log: every record comes from the one agent process; the updater's
  // output follows once the agent has exited.
  std::string stderrText = readFile(work_ / "out/agent.stderr");
  if (s.updaterRuns) {
    const std::string late =
        std::string(kLateOutputBytes, 'o') + "\n" + std::string(kLateOutputBytes, 'e') + "\n";
    EXPECT_TRUE(stderrText.ends_with(late))
        << "the updater's output, 1 MiB of each stream, must follow the log on the agent's stderr";
    if (stderrText.ends_with(late)) stderrText.resize(stderrText.size() - late.size());
  }
  std::vector<std::string> log{kLoaderLog + "The file db.plist could not be loaded.",
                               kUpdaterLog + "Last installation check timestamp: " + lastRun};
  if (!s.checkedRecently) {
    log.push_back(kUpdaterLog + "New timestamp for installation check: " + newLastRun);
    log.push_back(kUpdaterLog + "Update process scheduled to be executed in 0.000000 seconds.");
    log.push_back(kUpdaterLog + "Update process started.");
    log.push_back(kUpdaterLog + "Action update received: X9");
  }
  log.insert(log.end(), s.log.begin(), s.log.end());
  std::set<std::string> pids;
  EXPECT_EQ(parseAgentLog(stderrText, pids), log);
  EXPECT_EQ(pids.size(), 1u) << "records from more than one process";

  // The service, the programs, /tmp.
  std::vector<std::string> requests;
  std::istringstream lines(readFile(work_ / "out/requests"));
  for (std::string line; std::getline(lines, line);) requests.push_back(json::parse(line));
  EXPECT_EQ(requests, s.requests);
  EXPECT_EQ(recorded("pkgutil.args"), s.packageToolRuns
                                          ? "--check-signature|/tmp/ForwarderInstallerPackage.pkg|"
                                          : "(not started)");
  EXPECT_EQ(recorded("updater.args"),
            s.updaterRuns ? "--path|/tmp/ForwarderInstallerPackage.pkg|--action-identifier|WDk=|"
                            "--asset-identifier|A1|"
                          : "(not started)");
  std::vector<std::string> tmp;
  for (const auto& entry : fs::directory_iterator(host("/tmp"))) {
    tmp.push_back(entry.path().filename().string());
  }
  std::sort(tmp.begin(), tmp.end());
  const bool served = s.packageToolRuns;
  EXPECT_EQ(tmp, served || s.killWhileDownloading
                     ? std::vector<std::string>{"ForwarderInstallerPackage.pkg"}
                     : std::vector<std::string>{})
      << "/tmp holds nothing but the package";
  if (served || s.killWhileDownloading) {
    EXPECT_TRUE(readFile(host(kPackage)) == (served ? package : earlierPackage))
        << kPackage << (served ? " must hold the served bytes" : " must hold the earlier package");
    EXPECT_EQ(mode(host(kPackage)), "600") << kPackage;
  }

  if (HasFailure() || gShow) {
    std::cout << "==== " << s.name << ": wait status " << status << "\n---- the agent's stderr\n"
              << stderrText.substr(0, 64 * 1024)
              << (s.updaterRuns ? "(then the updater's output)\n" : "")
              << "---- the service received\n"
              << readFile(work_ / "out/requests") << "---- pkgutil: " << recorded("pkgutil.args")
              << "\n---- the updater: " << recorded("updater.args") << "\n---- the store\n"
              << after.dump(1) << "\n---- kept in " << work_.string() << "\n";
  } else {
    fs::remove_all(work_);
  }
}

// The record format rests on this parser: a laxer one would let a malformed
// record pass.
TEST(AgentLog, TakesOnlyWellFormedRecords) {
  std::set<std::string> pids;
  EXPECT_EQ(
      parseAgentLog("2026-12-06T07:01:02.345Z quarn[12] [a.b:C D] x y\n"
                    "2026-12-06T07:01:02Z quarn[12] [a.b:C] no milliseconds\n",
                    pids),
      (std::vector<std::string>{"[a.b:C D] x y",
                                "(not a log record) 2026-12-06T07:01:02Z quarn[12] [a.b:C] no "
                                "milliseconds"}));
  EXPECT_EQ(pids, std::set<std::string>{"12"});
}

}  // namespace
}  // namespace quarn::e2e

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) != "--show") {
      std::cerr << "e2e_test: unknown option " << argv[i] << "\n";
      return 2;
    }
    quarn::e2e::gShow = true;
  }
  for (const auto& scenario : quarn::e2e::kScenarios) {
    testing::RegisterTest(
        "EndToEnd", scenario.name, nullptr, nullptr, __FILE__, __LINE__,
        [&scenario]() -> testing::Test* { return new quarn::e2e::EndToEnd(scenario); });
  }
  return RUN_ALL_TESTS();
}
