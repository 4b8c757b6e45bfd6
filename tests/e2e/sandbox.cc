#include "tests/e2e/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace quarn::e2e {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kNotARecord = "(not a log record)";

// The store's table, exactly as the forwarder's processes create it.
constexpr std::string_view kCreateTable =
    "CREATE TABLE IF NOT EXISTS generic_passwords ("
    "account TEXT PRIMARY KEY NOT NULL, service TEXT NOT NULL, "
    "access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, "
    "value BLOB NOT NULL) STRICT;";

std::string sqlQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

std::vector<std::string> splitNulTerminated(const std::string& text) {
  std::vector<std::string> parts;
  std::string current;
  for (const char c : text) {
    if (c == '\0') {
      parts.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

std::optional<std::vector<std::string>> readArguments(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  return splitNulTerminated(readWholeFile(path));
}

void checkedRun(const std::vector<std::string>& arguments) {
  std::string output;
  std::string errors;
  const int status = runCommand(arguments, &output, &errors);
  if (status != 0) {
    std::string command;
    for (const auto& argument : arguments) command += (command.empty() ? "" : " ") + argument;
    throw std::runtime_error("`" + command + "` failed (wait status " + std::to_string(status) +
                             "): " + errors + output);
  }
}

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

double wallClockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string readWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int runCommand(const std::vector<std::string>& arguments, std::string* standardOutput,
               std::string* standardError, const std::vector<std::string>& extraEnvironment) {
  std::array<int, 2> outPipe{-1, -1};
  std::array<int, 2> errPipe{-1, -1};
  if (::pipe2(outPipe.data(), O_CLOEXEC) != 0 || ::pipe2(errPipe.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  FileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions.get(), outPipe[1], 1);
  posix_spawn_file_actions_adddup2(actions.get(), errPipe[1], 2);

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> argumentCopies = arguments;
  std::vector<char*> argv;
  for (auto& argument : argumentCopies) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), envp.data());
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (spawned != 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    throw std::runtime_error("cannot start " + arguments.front() + ": " + std::strerror(spawned));
  }

  // Drain both pipes while the child runs, so a chatty child never blocks.
  std::string collected[2];
  std::array<pollfd, 2> fds{pollfd{outPipe[0], POLLIN, 0}, pollfd{errPipe[0], POLLIN, 0}};
  int openPipes = 2;
  while (openPipes > 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        collected[i].append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (standardOutput != nullptr) *standardOutput = std::move(collected[0]);
  if (standardError != nullptr) *standardError = std::move(collected[1]);
  return status;
}

std::vector<LogEntry> parseAgentLog(std::string_view text) {
  static const std::regex kRecord(
      R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z quarn\[(\d+)\] \[([^:\]]*):([^\]]*)\] (.*)$)");
  std::vector<LogEntry> entries;
  if (text.empty()) return entries;
  // Each line ends in a line feed; the last line break ends the last record.
  if (text.back() == '\n') text.remove_suffix(1);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find('\n', start);
    const std::string line(text.substr(start, end == std::string_view::npos ? end : end - start));
    std::smatch match;
    if (std::regex_match(line, match, kRecord)) {
      entries.push_back(LogEntry{match[2], match[3], match[4], match[1]});
    } else if (entries.empty()) {
      entries.push_back(LogEntry{std::string(kNotARecord), "", line, ""});
    } else {
      entries.back().message += "\n" + line;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return entries;
}

Sandbox::Sandbox(Tools tools, fs::path work) : tools_(std::move(tools)), work_(std::move(work)) {
  fs::remove_all(work_);
  for (const char* folder :
       {"machine/etc/ssl/certs", "machine/tmp", "machine/var-lib", "machine/Library",
        "machine/Applications", "machine/usr", "record", "service", "out"}) {
    fs::create_directories(work_ / folder);
  }
  fs::permissions(work_ / "machine/tmp", fs::perms::all | fs::perms::sticky_bit);

  writeFile("/etc/hosts", "127.0.0.1 localhost\n::1 localhost\n127.0.0.1 updates.kelvane.com\n");
  writeFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nhosts: files\n");
  writeFile("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\n");
  writeFile("/etc/group", "root:x:0:\n");
  // The dynamic loader's cache and OpenSSL's defaults, read from the host.
  for (const char* file : {"/etc/ld.so.cache", "/etc/ssl/openssl.cnf"}) {
    if (fs::exists(file)) writeFile(file, readWholeFile(file));
  }
}

fs::path Sandbox::hostPath(std::string_view absolute) const {
  const fs::path path(absolute);
  const fs::path relative = path.relative_path();
  const std::string top = relative.begin()->string();
  fs::path rest;
  for (auto it = std::next(relative.begin()); it != relative.end(); ++it) rest /= *it;
  if (top == "var" && rest.begin() != rest.end() && rest.begin()->string() == "lib") {
    fs::path below;
    for (auto it = std::next(rest.begin()); it != rest.end(); ++it) below /= *it;
    return work_ / "machine/var-lib" / below;
  }
  if (top == "etc" || top == "tmp" || top == "Library" || top == "Applications" || top == "usr") {
    return work_ / "machine" / top / rest;
  }
  throw std::invalid_argument("no host folder behind " + std::string(absolute));
}

void Sandbox::writeFile(std::string_view absolute, std::string_view contents, mode_t mode) const {
  const fs::path path = hostPath(absolute);
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path.string());
}

void Sandbox::makeTestAuthority() const {
  const fs::path folder = work_ / "service";
  const std::string ca = (folder / "ca").string();
  const std::string server = (folder / "server").string();
  {
    std::ofstream extensions(folder / "server.ext");
    extensions << "basicConstraints=critical,CA:FALSE\n"
                  "keyUsage=critical,digitalSignature\n"
                  "extendedKeyUsage=serverAuth\n"
                  "subjectAltName=DNS:updates.kelvane.com\n";
  }
  checkedRun({"openssl",
              "req",
              "-x509",
              "-new",
              "-newkey",
              "ec",
              "-pkeyopt",
              "ec_paramgen_curve:prime256v1",
              "-nodes",
              "-keyout",
              ca + ".key",
              "-out",
              ca + ".crt",
              "-days",
              "2",
              "-subj",
              "/CN=quarn end-to-end test CA",
              "-addext",
              "basicConstraints=critical,CA:TRUE",
              "-addext",
              "keyUsage=critical,keyCertSign,cRLSign"});
  checkedRun({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
              "-nodes", "-keyout", server + ".key", "-out", server + ".csr", "-subj",
              "/CN=updates.kelvane.com"});
  std::random_device device;
  const std::string serial = std::to_string((static_cast<unsigned long long>(device()) << 16) + 1);
  checkedRun({"openssl", "x509", "-req", "-in", server + ".csr", "-CA", ca + ".crt", "-CAkey",
              ca + ".key", "-set_serial", serial, "-days", "2", "-out", server + ".crt", "-extfile",
              (folder / "server.ext").string()});
  writeFile("/etc/ssl/certs/ca-certificates.crt", readWholeFile(ca + ".crt"));
}

void Sandbox::seedStore(const std::map<std::string, std::string>& items) const {
  const fs::path store = hostPath(kStorePath);
  fs::create_directories(store.parent_path());
  fs::permissions(store.parent_path(), fs::perms::owner_all);
  std::string sql(kCreateTable);
  for (const auto& [account, value] : items) {
    sql += "INSERT INTO generic_passwords VALUES (" + sqlQuote(account) +
           ", 'Orvanta Forwarder', 'Shared Item Access', '[]', CAST(" + sqlQuote(value) +
           " AS BLOB));";
  }
  checkedRun({"sqlite3", "-bail", store.string(), sql});
  fs::permissions(store, fs::perms::owner_read | fs::perms::owner_write);
}

std::optional<std::vector<StoreRow>> Sandbox::readStore() const {
  const fs::path store = hostPath(kStorePath);
  if (!fs::exists(store)) return std::nullopt;
  std::string output;
  std::string errors;
  const int status =
      runCommand({"sqlite3", "-json", "-readonly", store.string(),
                  "SELECT account, service, access_description, trusted_applications, "
                  "CAST(value AS TEXT) AS value, typeof(value) AS type FROM generic_passwords "
                  "ORDER BY account"},
                 &output, &errors);
  if (status != 0) throw std::runtime_error("cannot read the store: " + errors);
  std::vector<StoreRow> rows;
  if (output.find_first_not_of(" \n") == std::string::npos) return rows;
  for (const auto& row : nlohmann::json::parse(output)) {
    const auto text = [&row](const char* key) {
      return row.at(key).is_null() ? std::string() : row.at(key).get<std::string>();
    };
    rows.push_back(StoreRow{text("account"), text("service"), text("access_description"),
                            text("trusted_applications"), text("value"), text("type")});
  }
  return rows;
}

void Sandbox::writeServiceScript(std::string_view json) const {
  std::ofstream out(work_ / "service/script.json", std::ios::binary | std::ios::trunc);
  out << json;
  if (!out) throw std::runtime_error("cannot write the service script");
}

Outcome Sandbox::run(const RunOptions& options) const {
  const fs::path out = work_ / "out";
  std::vector<std::string> environment{
      "QUARN_E2E_AGENT=" + tools_.agent.string(),
      "QUARN_E2E_PRELOAD=" + tools_.preload.string(),
      "QUARN_E2E_SIMULATOR=" + (options.serviceUp ? tools_.simulator.string() : std::string()),
      "QUARN_E2E_RANDOM=" + options.randomBytes,
      "QUARN_E2E_STOP_AFTER=" + options.stopAfter,
      "QUARN_E2E_KILL_WHILE_DOWNLOADING=" + std::string(options.killWhileDownloading ? "1" : ""),
      "QUARN_E2E_TIMEOUT=" + std::to_string(options.timeoutSeconds),
  };
  Outcome outcome;
  outcome.startedAt = wallClockNow();
  std::string sandboxOutput;
  std::string sandboxErrors;
  const int status = runCommand(
      {"unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc",
       "--propagation", "private", "bash", tools_.sandboxScript.string(), work_.string()},
      &sandboxOutput, &sandboxErrors, environment);
  outcome.endedAt = wallClockNow();
  if (status != 0) {
    throw std::runtime_error("the sandbox failed (wait status " + std::to_string(status) + "):\n" +
                             sandboxErrors + sandboxOutput);
  }

  outcome.status = std::stoi(readWholeFile(out / "agent.status"));
  outcome.stopped = fs::exists(out / "agent.stopped");
  outcome.timedOut = fs::exists(out / "agent.timeout");
  outcome.stderrText = readWholeFile(out / "agent.stderr");
  outcome.stdoutText = readWholeFile(out / "agent.stdout");
  outcome.log = parseAgentLog(outcome.stderrText);
  if (fs::exists(out / "simulator.stderr")) {
    outcome.simulatorErrors = readWholeFile(out / "simulator.stderr");
  }
  if (fs::exists(out / "requests.json")) {
    for (const auto& item : nlohmann::json::parse(readWholeFile(out / "requests.json"))) {
      outcome.requests.push_back(RecordedRequest{
          item.at("method"), item.at("path"), item.at("target"),
          item.at("query").get<std::map<std::string, std::string>>(),
          item.at("headers").get<std::map<std::string, std::string>>(), item.at("body")});
    }
  }
  outcome.forwarderArguments = readArguments(work_ / "record/forwarder.args");
  outcome.packageToolArguments = readArguments(work_ / "record/pkgutil.args");
  outcome.updaterArguments = readArguments(work_ / "record/updater.args");

  struct stat info {};
  const fs::path package = hostPath(kPackagePath);
  if (::lstat(package.c_str(), &info) == 0) {
    outcome.package = readWholeFile(package);
    outcome.packageMode = info.st_mode & 07777;
  }
  for (const auto& entry : fs::directory_iterator(hostPath("/tmp"))) {
    outcome.tmpEntries.push_back(entry.path().filename().string());
  }
  std::sort(outcome.tmpEntries.begin(), outcome.tmpEntries.end());
  const fs::path store = hostPath(kStorePath);
  if (::stat(store.parent_path().c_str(), &info) == 0) {
    outcome.storeFolderMode = info.st_mode & 07777;
  }
  if (::stat(store.c_str(), &info) == 0) outcome.storeMode = info.st_mode & 07777;
  outcome.store = readStore();
  return outcome;
}

}  // namespace quarn::e2e
