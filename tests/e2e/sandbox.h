// Sandbox: one start of the installed quarn binary, unmodified, on a machine
// made up for it, and what that start left behind.
//
// A Sandbox owns a work folder. The caller lays out the machine there (files
// under the sandbox's /etc, /tmp, /var/lib, /Library, /Applications and /usr,
// the shared items store, a test CA and the simulated service's script), then
// calls run(), which starts tests/e2e/sandbox.sh under `unshare` as PID 1 of
// new mount, network and PID namespaces. The agent runs there as root in a
// chroot whose /etc trusts the test CA and maps updates.kelvane.com to
// 127.0.0.1, where the service simulator listens on port 443. Nothing on the
// host is written outside the work folder.
//
// Failures of the sandbox itself (a tool that will not run, a mount refused)
// are thrown as std::runtime_error; whatever the agent does is reported in the
// Outcome. Not thread-safe; one Sandbox per scenario.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::e2e {

// Where the programs of a run are, on the host.
struct Tools {
  std::filesystem::path agent;          // the installed quarn
  std::filesystem::path simulator;      // e2e_service_simulator
  std::filesystem::path preload;        // the getrandom() preload library
  std::filesystem::path sandboxScript;  // sandbox.sh
};

// One record of the agent's stderr log:
//   <UTC time with ms>Z quarn[<pid>] [<subsystem>:<category>] <message>
// A message may span lines: a line that does not start a record continues the
// one before. Text before the first record becomes a record with the
// subsystem "(not a log record)".
struct LogEntry {
  std::string subsystem;
  std::string category;
  std::string message;
  std::string pid;

  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};
std::vector<LogEntry> parseAgentLog(std::string_view text);

// One request as the simulated service received it. Header names are in
// lower case; repeated headers are joined with ", ".
struct RecordedRequest {
  std::string method;
  std::string path;    // decoded, without the query
  std::string target;  // as sent, with the query
  std::map<std::string, std::string> query;
  std::map<std::string, std::string> headers;
  std::string body;
};

// One row of the shared items store.
struct StoreRow {
  std::string account;
  std::string service;
  std::string accessDescription;
  std::string trustedApplications;  // the JSON text as stored
  std::string value;                // the bytes, read as text
  std::string valueType;            // SQLite's typeof(value)

  friend bool operator==(const StoreRow&, const StoreRow&) = default;
};

struct RunOptions {
  bool serviceUp = true;    // start the simulator
  std::string randomBytes;  // "zero" or "ones"
  std::string stopAfter;    // kill the agent once a log line contains this
  // Kill the agent once the service has sent part of a trickled answer and the
  // agent holds a non-empty file under /tmp: a download cut off mid-body.
  bool killWhileDownloading = false;
  int timeoutSeconds = 30;  // kill the agent after this long
};

struct Outcome {
  int status = -1;       // the agent's wait status as the shell gives it (128 + N: signal N)
  bool stopped = false;  // killed on RunOptions::stopAfter or killWhileDownloading
  bool timedOut = false;
  double startedAt = 0;  // wall clock, seconds since 1970, around the run
  double endedAt = 0;
  std::string stderrText;
  std::string stdoutText;
  std::vector<LogEntry> log;
  std::vector<RecordedRequest> requests;
  std::optional<std::vector<std::string>> forwarderArguments;  // absent: not started
  std::optional<std::vector<std::string>> packageToolArguments;
  std::optional<std::vector<std::string>> updaterArguments;
  std::optional<std::string> package;  // /tmp/ForwarderInstallerPackage.pkg
  mode_t packageMode = 0;
  std::vector<std::string> tmpEntries;         // the names in /tmp, sorted
  std::optional<std::vector<StoreRow>> store;  // absent: no store file
  mode_t storeMode = 0;
  std::optional<mode_t> storeFolderMode;  // absent: no folder
  std::string simulatorErrors;
};

class Sandbox {
 public:
  static constexpr std::string_view kStorePath = "/var/lib/orvanta-forwarder/shared-items.sqlite";
  static constexpr std::string_view kPackagePath = "/tmp/ForwarderInstallerPackage.pkg";

  Sandbox(Tools tools, std::filesystem::path work);

  const std::filesystem::path& work() const { return work_; }

  // The host path of `absolute`, a path inside the sandbox's root (only below
  // /etc, /tmp, /var/lib, /Library, /Applications and /usr).
  std::filesystem::path hostPath(std::string_view absolute) const;

  // Writes a file inside the sandbox, making its folders (mode 0755).
  void writeFile(std::string_view absolute, std::string_view contents, mode_t mode = 0644) const;

  // Makes a CA and a certificate for updates.kelvane.com signed by it; the CA
  // becomes the sandbox's whole trust store.
  void makeTestAuthority() const;

  // Creates the store's folder (0700) and file (0600) with its table, holding
  // `items` (account → value) as the forwarder writes them.
  void seedStore(const std::map<std::string, std::string>& items) const;
  std::optional<std::vector<StoreRow>> readStore() const;

  // The simulator's script (see service_simulator.cc).
  void writeServiceScript(std::string_view json) const;

  Outcome run(const RunOptions& options) const;

 private:
  Tools tools_;
  std::filesystem::path work_;
};

// Runs `arguments` (the first is looked up in PATH) with stdin from /dev/null,
// collecting stdout and stderr; returns the wait status as std::system does.
// Throws when the program cannot be started.
int runCommand(const std::vector<std::string>& arguments, std::string* standardOutput = nullptr,
               std::string* standardError = nullptr,
               const std::vector<std::string>& extraEnvironment = {});

std::string readWholeFile(const std::filesystem::path& path);
double wallClockNow();

}  // namespace quarn::e2e
