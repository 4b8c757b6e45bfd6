// The SQLite side of the keychain: the file, its table, modes, locks and
// other processes. The store's contract (add-only, selection by account,
// deletion by service) is tested through the shared items storage.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/keychain.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::StartsWith;

constexpr const char* kDocumentedSchema =
    "CREATE TABLE IF NOT EXISTS generic_passwords (\n"
    "  account              TEXT PRIMARY KEY NOT NULL,\n"
    "  service              TEXT NOT NULL,\n"
    "  access_description   TEXT NOT NULL,\n"
    "  trusted_applications TEXT NOT NULL,\n"
    "  value                BLOB NOT NULL\n"
    ") STRICT;";

// The documented table with each `from` of its column list replaced by `to`.
std::string table(const std::vector<std::pair<std::string, std::string>>& edits,
                  const std::string& options = " STRICT") {
  std::string columns =
      "account TEXT PRIMARY KEY NOT NULL, service TEXT NOT NULL, access_description TEXT NOT "
      "NULL, trusted_applications TEXT NOT NULL, value BLOB NOT NULL";
  for (const auto& [from, to] : edits) columns.replace(columns.find(from), from.size(), to);
  return "CREATE TABLE generic_passwords (" + columns + ")" + options + ";";
}

std::string makeTemporaryFolder() {
  char pattern[] = "/tmp/quarn-keychain-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  return pattern;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

mode_t modeOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Runs `statements` on the store as the forwarder's other programs would;
// returns the rows, columns joined by '|'.
std::vector<std::string> sql(const std::string& path, const std::string& statements) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK) << path;
  const auto collect = [](void* out, int count, char** values, char**) {
    std::string row;
    for (int i = 0; i < count; ++i)
      row += (i > 0 ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
    static_cast<std::vector<std::string>*>(out)->push_back(row);
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), collect, &rows, nullptr), SQLITE_OK)
      << statements << ": " << sqlite3_errmsg(db);
  sqlite3_close(db);
  return rows;
}

GenericPasswordItem makeItem(std::string account, std::string value) {
  return GenericPasswordItem{
      std::move(account), "Orvanta Forwarder", "Shared Item Access", {}, std::move(value)};
}

std::string statusName(KeychainStatus status) {
  static const char* const kNames[] = {"success", "duplicate", "notFound", "failure"};
  return kNames[static_cast<int>(status)];
}

class SqliteKeychainTest : public ::testing::Test {
 protected:
  ~SqliteKeychainTest() override { std::filesystem::remove_all(dir_); }

  void createDatabaseWith(const std::string& statements) {
    std::filesystem::create_directories(dir_ + "/store");
    sql(databasePath_, statements);
  }
  std::vector<std::string> rows(const std::string& query) { return sql(databasePath_, query); }
  // The command-line tool stands for the forwarder's other programs.
  std::string runSqliteTool(const std::string& sql) {
    writeFile(dir_ + "/script.sql", sql);
    const std::string command = "sqlite3 -batch '" + databasePath_ + "' < '" +
                                (dir_ +
                                 "/"
                                 "script.sql") +
                                "' 2>&1";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buffer[256];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
      ::pclose(pipe);
    }
    return output;
  }

  Logger logger() { return Logger("com.kelvane.Orvanta.quarn", "Shared Items Storage", sink_); }
  // What the keychains logged, as the system log shows it.
  std::vector<std::string> logged() const {
    std::vector<std::string> texts;
    for (const auto& record : sink_->records()) texts.push_back(record.redactedText);
    return texts;
  }

  const std::string dir_ = makeTemporaryFolder();
  const std::string databasePath_ = dir_ + "/store/shared-items.sqlite";
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<Keychain> keychain_ = makeSqliteKeychain(databasePath_, logger());
};

TEST_F(SqliteKeychainTest, StoresEveryColumnAsDocumentedAndValuesAsBlobs) {
  GenericPasswordItem item = makeItem("SharedAssetIdentifier", "asset-1");
  item.trustedApplications = {"/b/app", "/a/app", "/b/app", "/with \"quote\""};
  ASSERT_EQ(keychain_->addItem(item), KeychainStatus::success);
  ASSERT_EQ(keychain_->addItem(makeItem("FullScanStatus", "done")), KeychainStatus::success);
  EXPECT_THAT(rows("SELECT account, service, access_description, trusted_applications, value "
                   "FROM generic_passwords ORDER BY account"),
              ElementsAre("FullScanStatus|Orvanta Forwarder|Shared Item Access|[]|done",
                          "SharedAssetIdentifier|Orvanta Forwarder|Shared Item Access|"
                          "[\"/b/app\",\"/a/app\",\"/b/app\",\"/with \\\"quote\\\"\"]|asset-1"));

  // Values come back byte for byte.
  const std::string values[] = {"", std::string("nul\0inside", 10), "\xff\xfe not UTF-8 \xc0\x80",
                                "h\xc3\xa9llo \xf0\x9f\x98\x80", std::string(1 << 20, 'x')};
  for (size_t i = 0; i < std::size(values); ++i) {
    const std::string account = "account-" + std::to_string(i);
    ASSERT_EQ(keychain_->addItem(makeItem(account, values[i])), KeychainStatus::success) << i;
    const KeychainCopyResult copied = keychain_->copyValue(account);
    EXPECT_EQ(copied.status, KeychainStatus::success) << i;
    EXPECT_EQ(copied.value, values[i]) << i;
  }
  EXPECT_THAT(rows("SELECT DISTINCT typeof(value) FROM generic_passwords"), ElementsAre("blob"));
}

TEST_F(SqliteKeychainTest, OnlyAnAdditionCreatesTheStoreOrItsTable) {
  const auto expectNothingFound = [&] {
    EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::itemNotFound);
  };
  expectNothingFound();
  EXPECT_FALSE(exists(dir_ + "/"
                             "store"));

  createDatabaseWith("CREATE TABLE unrelated (x INTEGER); INSERT INTO unrelated VALUES (7);");
  expectNothingFound();
  EXPECT_THAT(rows("SELECT name FROM sqlite_master"), ElementsAre("unrelated"));
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success);
  EXPECT_THAT(rows("SELECT x FROM unrelated"), ElementsAre("7"));
  EXPECT_THAT(rows("SELECT strict FROM pragma_table_list WHERE name = 'generic_passwords'"),
              ElementsAre("1"));
  EXPECT_THAT(logged(), ElementsAre()) << "finding nothing is no failure";
}

// Folders and the file that an addition makes are private whatever the umask;
// those that exist keep their modes.
TEST_F(SqliteKeychainTest, ModesOfTheFolderAndFile) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    const std::string top = dir_ + "/umask-" + std::to_string(mask);
    const mode_t previous = ::umask(mask);
    const KeychainStatus status = makeSqliteKeychain(top + "/b/shared-items.sqlite", logger())
                                      ->addItem(makeItem("UpdateLastRun", "1"));
    ::umask(previous);
    ASSERT_EQ(status, KeychainStatus::success) << mask;
    EXPECT_EQ(modeOf(top), 0700u) << mask;
    EXPECT_EQ(modeOf(top + "/b"), 0700u) << mask;
    EXPECT_EQ(modeOf(top + "/b/shared-items.sqlite"), 0600u) << mask;
  }

  createDatabaseWith("");
  ::chmod((dir_ + "/store").c_str(), 0750);
  ::chmod(databasePath_.c_str(), 0640);
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success);
  EXPECT_EQ(modeOf(dir_ + "/store"), 0750u);
  EXPECT_EQ(modeOf(databasePath_), 0640u);
}

TEST_F(SqliteKeychainTest, AStoreThatCannotBeUsedFailsEveryCallAndIsLeftAsItIs) {
  std::string noise(9000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) % 251);
  enum Kind { kFolderIsAFile, kLinkToADatabase, kBytes, kTable };
  const std::tuple<const char*, Kind, std::string> cases[] = {
      {"the folder is a file", kFolderIsAFile, "not a folder"},
      {"a symbolic link to a database", kLinkToADatabase, kDocumentedSchema},
      {"text", kBytes, "just some text\n"},
      {"a database header, then garbage", kBytes,
       std::string("SQLite format 3\0", 16) + std::string(200, '\x01')},
      {"noise", kBytes, noise},
      {"not strict", kTable, table({}, "")},
      {"value is text", kTable, table({{"value BLOB", "value TEXT"}})},
      {"a column missing", kTable, table({{"access_description TEXT NOT NULL, ", ""}})},
      {"an extra column", kTable, table({{"BLOB NOT NULL", "BLOB NOT NULL, label TEXT"}})},
      {"columns reordered", kTable,
       "CREATE TABLE generic_passwords (service TEXT NOT NULL, account TEXT PRIMARY KEY NOT "
       "NULL, access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, value BLOB "
       "NOT NULL) STRICT;"},
      {"nullable", kTable, table({{"service TEXT NOT NULL", "service TEXT"}})},
      {"account only unique", kTable, table({{"PRIMARY KEY", "UNIQUE"}})},
      {"a key of two columns", kTable,
       table({{" PRIMARY KEY", ""},
              {"BLOB NOT NULL", "BLOB NOT NULL, PRIMARY KEY (account, service)"}})},
      {"account ignores case", kTable, table({{"KEY NOT NULL", "KEY NOT NULL COLLATE NOCASE"}})},
      {"a view", kTable,
       "CREATE TABLE items (account TEXT PRIMARY KEY NOT NULL, service TEXT NOT NULL, "
       "access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, value BLOB NOT "
       "NULL) STRICT; CREATE VIEW generic_passwords AS SELECT * FROM items;"},
      {"the name in other case, another shape", kTable,
       "CREATE TABLE GENERIC_PASSWORDS (x INT) STRICT;"},
  };
  for (const auto& [name, kind, content] : cases) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(dir_ + "/store");
    std::string watched = databasePath_;  // the file that must stay as it is
    if (kind == kFolderIsAFile) {
      watched = dir_ + "/store";
      writeFile(watched, content);
    } else if (kind == kLinkToADatabase) {
      watched = dir_ + "/elsewhere.sqlite";
      sql(watched, content);
      std::filesystem::create_directories(dir_ + "/store");
      ASSERT_EQ(::symlink(watched.c_str(), databasePath_.c_str()), 0);
    } else if (kind == kBytes) {
      std::filesystem::create_directories(dir_ + "/store");
      writeFile(databasePath_, content);
    } else {
      createDatabaseWith(content);
    }
    const std::string before = readFile(watched);

    EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::failure);
    EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::failure);
    EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::failure);
    EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::failure);
    EXPECT_EQ(readFile(watched), before);
    EXPECT_FALSE(exists(databasePath_ + "-journal"));
    // Each call logs which operation failed, and why.
    const std::string store = "Shared items store " + databasePath_ + ": could not ";
    const std::string why =
        std::string("): ") + (kind == kFolderIsAFile     ? "Not a directory"
                              : kind == kLinkToADatabase ? "unable to open database file"
                              : kind == kBytes           ? "file is not a database"
                                               : "the table generic_passwords has another shape");
    EXPECT_THAT(
        logged(),
        ElementsAre(AllOf(StartsWith(store + "add an item ("), EndsWith(why)),
                    AllOf(StartsWith(store + "read an item ("), EndsWith(why)),
                    AllOf(StartsWith(store + "delete an account's items ("), EndsWith(why)),
                    AllOf(StartsWith(store + "delete a service's items ("), EndsWith(why))));
    sink_->clear();
  }
}

TEST_F(SqliteKeychainTest, UsesTheDocumentedTableWhoeverWroteIt) {
  const std::string schemas[] = {
      kDocumentedSchema,
      "create table Generic_Passwords(ACCOUNT text not null primary key, service text not null, "
      "access_description text not null, trusted_applications text not null, value blob not "
      "null) strict;",
      table({}, " STRICT, WITHOUT ROWID"),
  };
  for (const std::string& schema : schemas) {
    SCOPED_TRACE(schema);
    std::filesystem::remove_all(dir_ +
                                "/"
                                "store");
    createDatabaseWith(schema);
    EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success);
    EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "2")), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain_->copyValue("UpdateLastRun").value, "1");
    EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::success);
    EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
  }
  EXPECT_THAT(logged(), ElementsAre()) << "a duplicate or a missing item is no failure";
}

TEST_F(SqliteKeychainTest, ALockHeldPastTheBusyTimeOutFailsWithoutHarm) {
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "kept")), KeychainStatus::success);
  auto impatient = makeSqliteKeychain(databasePath_, logger(), std::chrono::milliseconds(50));
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(databasePath_.c_str(), &holder), SQLITE_OK);
  const auto exec = [holder](const char* statement) {
    return sqlite3_exec(holder, statement, nullptr, nullptr, nullptr) == SQLITE_OK;
  };

  // A writer in progress elsewhere: reads go on, writes wait and give up, and
  // say so.
  ASSERT_TRUE(exec("BEGIN IMMEDIATE"));
  EXPECT_EQ(impatient->copyValue("UpdateLastRun").value, "kept");
  EXPECT_EQ(impatient->addItem(makeItem("FullScanStatus", "x")), KeychainStatus::failure);
  EXPECT_EQ(impatient->deleteAccountItems("UpdateLastRun"), KeychainStatus::failure);
  ASSERT_TRUE(exec("ROLLBACK"));
  const std::string store = "Shared items store " + databasePath_ + ": could not ";
  EXPECT_THAT(logged(),
              ElementsAre(store + "add an item (begin a transaction): database is locked",
                          store + "delete an account's items (begin a transaction): database is "
                                  "locked"));

  // An exclusive lock stops readers too.
  ASSERT_TRUE(exec("BEGIN EXCLUSIVE"));
  EXPECT_EQ(impatient->copyValue("UpdateLastRun").status, KeychainStatus::failure);
  EXPECT_EQ(impatient->addItem(makeItem("FullScanStatus", "x")), KeychainStatus::failure);
  EXPECT_EQ(impatient->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::failure);
  ASSERT_TRUE(exec("ROLLBACK"));

  sqlite3_close(holder);
  EXPECT_EQ(impatient->copyValue("UpdateLastRun").value, "kept");
  EXPECT_EQ(impatient->copyValue("FullScanStatus").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(impatient->addItem(makeItem("FullScanStatus", "x")), KeychainStatus::success);
}

// Runs `body` in a child process as an unprivileged user (as root, permission
// bits alone would not stop it) and returns what the child reported.
std::string runUnprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    const std::string report = body();
    const ssize_t written = ::write(fds[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  std::string report;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? report : "child failed";
}

TEST_F(SqliteKeychainTest, AStoreThatCanOnlyBeReadIsReadButNotChanged) {
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "kept")), KeychainStatus::success);
  ::chmod(dir_.c_str(), 0755);
  ::chmod((dir_ + "/"
                  "store")
              .c_str(),
          0755);
  ::chmod(databasePath_.c_str(), 0644);
  const std::string before = readFile(databasePath_);

  const std::string report = runUnprivileged([&] {
    auto keychain = makeSqliteKeychain(databasePath_, logger(), std::chrono::milliseconds(200));
    KeychainCopyResult copied = keychain->copyValue("UpdateLastRun");
    return statusName(copied.status) + ":" + copied.value + " " +
           statusName(keychain->addItem(makeItem("FullScanStatus", "x"))) + " " +
           statusName(keychain->deleteAccountItems("UpdateLastRun")) + " " +
           statusName(keychain->deleteServiceItems("Orvanta Forwarder")) + " " +
           statusName(makeSqliteKeychain(dir_ + "/"
                                                "store/new.sqlite",
                                         logger())
                          ->addItem(makeItem("UpdateLastRun", "x")));
  });

  EXPECT_EQ(report, "success:kept failure failure failure failure");
  EXPECT_EQ(readFile(databasePath_), before);
  EXPECT_FALSE(exists(dir_ + "/"
                             "store/new.sqlite"));
}

TEST_F(SqliteKeychainTest, TrustedApplicationReferencesNeedAnExistingPath) {
  writeFile(dir_ + "/tool", "#!/bin/sh\n");
  EXPECT_EQ(keychain_->createTrustedApplicationReference(dir_ + "/"
                                                                "tool"),
            dir_ + "/tool");
  EXPECT_EQ(keychain_->createTrustedApplicationReference(dir_), dir_);
  EXPECT_EQ(keychain_->createTrustedApplicationReference(dir_ + "/"
                                                                "missing"),
            std::nullopt);
  EXPECT_EQ(keychain_->createTrustedApplicationReference(""), std::nullopt);
}

TEST_F(SqliteKeychainTest, ATrustedPathWithoutAJsonFormIsRefused) {
  GenericPasswordItem item = makeItem("UpdateLastRun", "1");
  item.trustedApplications = {"/ok", "/bad\xff"};
  EXPECT_EQ(keychain_->addItem(item), KeychainStatus::failure);
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
}

TEST_F(SqliteKeychainTest, TheCommandLineToolAndQuarnReadEachOthersItems) {
  for (const bool toolCreatesTheTable : {false, true}) {
    SCOPED_TRACE(toolCreatesTheTable ? "table made by the tool" : "table made by quarn");
    std::filesystem::remove_all(dir_ +
                                "/"
                                "store");
    if (toolCreatesTheTable) {
      std::filesystem::create_directories(dir_ +
                                          "/"
                                          "store");
      ASSERT_EQ(runSqliteTool(kDocumentedSchema), "");
    }
    GenericPasswordItem item = makeItem("UpdateLastRun", "1700000000.25");
    item.trustedApplications = {"/Applications/Tool.app"};
    ASSERT_EQ(keychain_->addItem(item), KeychainStatus::success);

    EXPECT_EQ(runSqliteTool("SELECT account, service, access_description, trusted_applications, "
                            "CAST(value AS TEXT), typeof(value) FROM generic_passwords;"),
              "UpdateLastRun|Orvanta Forwarder|Shared Item Access|[\"/Applications/Tool.app\"]|"
              "1700000000.25|blob\n");
    EXPECT_EQ(runSqliteTool("INSERT INTO generic_passwords VALUES ('SharedAssetIdentifier', "
                            "'Orvanta Forwarder', 'Shared Item Access', '[]', "
                            "CAST('asset-\xc3\xa9' AS BLOB));"),
              "");
    EXPECT_EQ(keychain_->copyValue("SharedAssetIdentifier").value, "asset-\xc3\xa9");
  }
}

// One operation as a racer logged it: "<operation> <name> <status> [<value>]".
struct Logged {
  std::string line, operation, name, status, value;
};

class KeychainRaceTest : public SqliteKeychainTest {
 protected:
  static constexpr int kRacers = 6;
  using Body = std::function<void(Keychain&, int racer, std::ostream& log)>;

  // Runs `body` in kRacers processes, each with a keychain of its own, or in
  // kRacers threads sharing this test's keychain; all start at once.
  std::vector<Logged> race(bool processes, const Body& body) {
    int gate[2];
    EXPECT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    std::vector<std::thread> threads;
    for (int racer = 0; racer < kRacers; ++racer) {
      const auto run = [&, racer] {
        char byte;
        while (::read(gate[0], &byte, 1) > 0) {
        }  // open until the parent closes its end
        std::ofstream log(dir_ + "/log-" + std::to_string(racer));
        body(processes ? *makeSqliteKeychain(databasePath_, logger(), std::chrono::seconds(30))
                       : *keychain_,
             racer, log);
      };
      if (!processes) {
        threads.emplace_back(run);
      } else if (const pid_t pid = ::fork(); pid == 0) {
        ::close(gate[1]);
        run();
        ::_exit(0);
      } else {
        children.push_back(pid);
      }
    }
    ::close(gate[1]);
    for (std::thread& thread : threads) thread.join();
    for (const pid_t child : children) {
      int status = 0;
      EXPECT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ::close(gate[0]);
    std::vector<Logged> logged;
    for (int racer = 0; racer < kRacers; ++racer) {
      std::istringstream in(readFile(dir_ + "/log-" + std::to_string(racer)));
      for (Logged entry; std::getline(in, entry.line); entry = {}) {
        std::istringstream(entry.line) >> entry.operation >> entry.name >> entry.status >>
            entry.value;
        logged.push_back(entry);
      }
    }
    return logged;
  }
};

// Every round, each racer adds and reads a new account (which exactly one add
// wins) and two shared ones, which every other racer also deletes.
TEST_F(KeychainRaceTest, OneAddWinsAndReadsSeeOnlyWrittenValues) {
  constexpr int kRounds = 20;
  const std::set<std::string> alternating = {"UpdateLastRun", "SharedAssetIdentifier"};
  for (const bool processes : {true, false}) {
    SCOPED_TRACE(processes ? "processes" : "threads");
    std::filesystem::remove_all(dir_ +
                                "/"
                                "store");
    const auto logged = race(processes, [&](Keychain& keychain, int racer, std::ostream& log) {
      for (int round = 0; round < kRounds; ++round) {
        for (const std::string& name :
             {"account-" + std::to_string(round), *alternating.begin(), *alternating.rbegin()}) {
          const std::string value = "p" + std::to_string(racer) + "r" + std::to_string(round);
          log << "add " << name << ' ' << statusName(keychain.addItem(makeItem(name, value))) << ' '
              << value << '\n';
          const KeychainCopyResult copied = keychain.copyValue(name);
          log << "read " << name << ' ' << statusName(copied.status) << ' ' << copied.value << '\n';
          if (alternating.count(name) && (racer + round) % 2 == 0) {
            log << "delete " << name << ' ' << statusName(keychain.deleteAccountItems(name))
                << '\n';
          }
        }
      }
    });

    ASSERT_EQ(logged.size(), kRacers * kRounds * 7u);
    std::map<std::string, std::set<std::string>> written, read;
    std::map<std::string, int> adds, deletes;
    for (const Logged& entry : logged) {
      EXPECT_NE(entry.status, "failure") << entry.line;
      EXPECT_FALSE(entry.operation == "add" && entry.status == "notFound") << entry.line;
      if (entry.status != "success") continue;
      if (entry.operation == "add") {
        written[entry.name].insert(entry.value);
        ++adds[entry.name];
      }
      if (entry.operation == "read") read[entry.name].insert(entry.value);
      if (entry.operation == "delete") ++deletes[entry.name];
    }
    for (const auto& [name, values] : read) {
      for (const std::string& value : values) {
        EXPECT_TRUE(written[name].count(value)) << name << " read " << value << ", never written";
      }
      const KeychainCopyResult last = keychain_->copyValue(name);
      if (alternating.count(name)) {
        EXPECT_EQ(adds[name] - deletes[name], last.status == KeychainStatus::success ? 1 : 0);
        EXPECT_GT(adds[name], 1) << name;
      } else {
        ASSERT_EQ(written[name].size(), 1u) << name;
        EXPECT_EQ(adds[name], 1) << name;
        EXPECT_EQ(values, written[name]) << name;
        EXPECT_EQ(last.value, *written[name].begin()) << name;
      }
    }
    EXPECT_EQ(read.size(), kRounds + 2u);
  }
}

}  // namespace
}  // namespace quarn::platform
