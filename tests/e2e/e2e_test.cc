// End-to-end scenarios: the installed quarn binary, unmodified, started once
// per row as root in private mount, network and PID namespaces (sandbox.sh) on
// a machine made up for it, against a simulated update service
// (service_simulator.cc) and stand-ins for the package tool and the updater.
// The rows keep to what only the real binary shows: how the process ends, its
// log records on stderr, the requests the service received, the programs it
// started, what it left in /tmp and the store the forwarder reads. Each run
// leaves its work folder until the next run (demo.sh shows it).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <stdexcept>
#include <string>

#include "platform/keychain.h"

namespace {
namespace fs = std::filesystem;
using nlohmann::json;

const std::string kPackage = "ForwarderInstallerPackage.pkg";  // in /tmp
const std::string kStore = "/var/lib/orvanta-forwarder/shared-items.sqlite";
const std::string kApp = "/Applications/Orvanta Forwarder.app/Contents/MacOS/";
const std::string kLog = "[com.kelvane.Orvanta.quarn:Package Updater] ";

std::string name(bool killed) { return killed ? "killed_while_downloading" : "update_installed"; }

std::string quote(const std::string& text) {
  return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a shell command with stdin from /dev/null and returns its output, kept
// in `log`; throws with that output unless the command succeeds.
std::string run(const std::string& command, const fs::path& log) {
  if (std::system(("(" + command + ") </dev/null >" + quote(log) + " 2>&1").c_str()) != 0) {
    throw std::runtime_error(command + "\nfailed:\n" + readFile(log));
  }
  return readFile(log);
}

// A start three days after the last check, with the package of an earlier
// update in /tmp: the update is installed (the updater outlives the agent and
// writes much to both streams), or the agent is killed while it downloads.
using EndToEnd = testing::TestWithParam<bool>;  // killed while downloading

TEST_P(EndToEnd, Start) {
  if (::geteuid() != 0 || std::system("unshare -mnpf true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root and private mount, network and PID namespaces";
  }
  const bool killed = GetParam(), installs = !killed;
  const fs::path work = fs::path(QUARN_E2E_WORK) / name(killed);
  const std::string root = (work / "machine").string();  // its folders appear below the sandbox's /
  const auto write = [&](const std::string& absolute, const std::string& contents,
                         int mode = 0644) {
    fs::create_directories(fs::path(root + absolute).parent_path());
    std::ofstream(root + absolute, std::ios::binary) << contents;
    fs::permissions(root + absolute, static_cast<fs::perms>(mode));
  };
  const auto sql = [&](const std::string& statements) {
    return run("sqlite3 -bail " + quote(root + kStore) + " " + quote(statements), work / "out/sql");
  };
  fs::remove_all(work);
  for (const char* folder : {"machine/Library", "machine/var/lib/orvanta-forwarder",
                             "machine/etc/ssl/certs", "record", "service", "out"}) {
    fs::create_directories(work / folder);
  }

  // The machine: name service; its trust store, which holds only the service's
  // own certificate, is written by the simulator.
  write("/etc/hosts", "127.0.0.1 localhost updates.kelvane.com\n");
  write("/etc/nsswitch.conf", "hosts: files\n");

  // The forwarder's bundle with quarn.app in it, its updater, the package tool.
  fs::create_directories(root + kApp + "quarn.app");
  write(kApp + "orvanta-updater.app/Contents/MacOS/orvanta-updater",
        readFile(QUARN_E2E_STAND_INS "/orvanta-updater"), 0755);
  write("/usr/sbin/pkgutil", readFile(QUARN_E2E_STAND_INS "/pkgutil"), 0755);
  const std::string earlierPackage = "the package of an earlier update\n";
  write("/tmp/" + kPackage, earlierPackage, 0600);

  // The store as the forwarder leaves it.
  const std::time_t startedAt = std::time(nullptr);
  const std::string lastRun = std::to_string(startedAt - 3 * 86400) + ".25";
  sql(std::string(quarn::platform::kCreateGenericPasswordsTable) +
      "; INSERT INTO generic_passwords VALUES ('SharedAssetIdentifier', 'Orvanta "
      "Forwarder', 'Shared Item Access', '[]', CAST('A1' AS BLOB)), ('UpdateLastRun', 'Orvanta "
      "Forwarder', 'Shared Item Access', '[]', CAST('" +
      lastRun + "' AS BLOB));");

  // The service: one update action (the choice among several is the pipeline
  // table's matter).
  std::string package(256 * 1024 + 123, '\0');
  for (std::size_t i = 0; i < package.size(); ++i) package[i] = static_cast<char>('!' + i * i % 94);
  std::ofstream(work / "service/package") << package;
  const std::string sha256 = run("sha256sum " + quote(work / "service/package"), work / "out/sha");
  const json update{{"download_url", "https://updates.kelvane.com/packages/p.pkg"},
                    {"binary_sha256", sha256.substr(0, 64)}};
  const json actions{{"actions", {{{"id", "X9"}, {"update", update}}}}};
  std::ofstream(work / "service/script.json")
      << json{{"/v1/assets/A1/actions", {{"body", actions.dump()}}},
              {"/packages/p.pkg", {{"body", package}, {"stall", killed}}}};

  // The start.
  run("unshare -mnpf --kill-child --mount-proc --propagation private bash " +
          quote(QUARN_E2E_SANDBOX_SCRIPT) + " " + quote(work) + " " + quote(QUARN_E2E_AGENT) + " " +
          quote(QUARN_E2E_PRELOAD) + " " + quote(QUARN_E2E_SIMULATOR) +
          (killed ? " kill-while-downloading" : ""),
      work / "out/sandbox.log");

  // How it ended.
  EXPECT_EQ(readFile(work / "out/agent.status"), killed ? "137\n" : "0\n");
  EXPECT_EQ(fs::exists(work / "out/agent.stopped"), killed) << "killed while it wrote the package";

  // The store: only the time of the check changes, to this start's, with the
  // agent's own bundle trusted.
  const std::string store =
      sql("SELECT account, CAST(value AS TEXT), trusted_applications FROM generic_passwords "
          "ORDER BY account");
  std::smatch stored;
  std::regex_search(store, stored, std::regex(R"(UpdateLastRun\|([0-9]+\.[0-9]+)\|)"));
  const std::string newLastRun = stored[1].str();
  EXPECT_EQ(store, "SharedAssetIdentifier|A1|[]\nUpdateLastRun|" + newLastRun + "|[\"" + kApp +
                       "quarn.app\"]\n");
  const double written = std::strtod(newLastRun.c_str(), nullptr);
  EXPECT_TRUE(written >= startedAt && written <= std::time(nullptr) + 1)
      << newLastRun << " is not the time of this start";

  // The log: only records, "<UTC time with ms>Z quarn[<pid>] [<subsystem>:<category>] <message>"
  // a line; the updater's output follows once the agent has exited.
  std::string stderrText = readFile(work / "out/agent.stderr");
  const std::string late = std::string(1 << 20, 'o') + "\n" + std::string(1 << 20, 'e') + "\n";
  EXPECT_EQ(stderrText.ends_with(late), installs) << "the updater's output on the agent's stderr";
  if (stderrText.ends_with(late)) stderrText.resize(stderrText.size() - late.size());
  const std::string log =
      "[com.kelvane.Orvanta.quarn:Orvanta Quarn] The file db.plist could not be loaded.\n" + kLog +
      "Last installation check timestamp: " + lastRun + "\n" + kLog +
      "New timestamp for installation check: " + newLastRun + "\n" + kLog +
      "Update process scheduled to be executed in 0.000000 seconds.\n" + kLog +
      "Update process started.\n" + kLog + "Action update received: X9\n" +
      (installs ? kLog + "Package validated successfully.\n" + kLog +
                      "Executing 'orvanta-updater': path '/tmp/" + kPackage +
                      "', action identifier 'WDk=' asset identifier: A1\n"
                : "");
  const std::regex prefix(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z quarn\[\d+\] )");
  EXPECT_EQ(std::regex_replace(stderrText, prefix, "$1"), log);

  // The service, the programs, /tmp.
  EXPECT_EQ(readFile(work / "out/requests"), "GET /v1/assets/A1/actions\nGET /packages/p.pkg\n");
  EXPECT_EQ(readFile(work / "record/programs"),
            installs
                ? "pkgutil --check-signature /tmp/" + kPackage + "\norvanta-updater --path /tmp/" +
                      kPackage + " --action-identifier WDk= --asset-identifier A1\n"
                : "");
  EXPECT_EQ(std::distance(fs::directory_iterator(root + "/tmp"), {}), 1)
      << "/tmp holds nothing but the package";
  const std::string left = root + "/tmp/" + kPackage;
  EXPECT_TRUE(readFile(left) == (installs ? package : earlierPackage))
      << "/tmp holds the served package, or the earlier one";
  EXPECT_EQ(static_cast<int>(fs::status(left).permissions()), 0600) << "the package's mode";
}

INSTANTIATE_TEST_SUITE_P(, EndToEnd, testing::Bool(),
                         [](const auto& info) { return name(info.param); });

}  // namespace
