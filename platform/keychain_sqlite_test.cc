#include <fcntl.h>
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
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/keychain.h"

namespace quarn::platform {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kDocumentedSchema =
    "CREATE TABLE IF NOT EXISTS generic_passwords (\n"
    "  account              TEXT PRIMARY KEY NOT NULL,\n"
    "  service              TEXT NOT NULL,\n"
    "  access_description   TEXT NOT NULL,\n"
    "  trusted_applications TEXT NOT NULL,\n"
    "  value                BLOB NOT NULL\n"
    ") STRICT;";

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/quarn-keychain-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

mode_t modeOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

// A connection of "another process": the tests write and inspect the store
// with plain SQL, as the forwarder's other programs would.
class RawDatabase {
 public:
  explicit RawDatabase(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path;
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~RawDatabase() { sqlite3_close_v2(db_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  bool exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) lastError_ = message ? message : "?";
    sqlite3_free(message);
    return rc == SQLITE_OK;
  }
  const std::string& lastError() const { return lastError_; }

  // Every row of `sql`, columns joined by '|'; blobs as their bytes.
  std::vector<std::string> rows(const std::string& sql) {
    std::vector<std::string> result;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_);
      return result;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        if (i > 0) row += '|';
        const void* bytes = sqlite3_column_blob(statement, i);
        const int size = sqlite3_column_bytes(statement, i);
        if (bytes != nullptr) row.append(static_cast<const char*>(bytes), size);
      }
      result.push_back(row);
    }
    sqlite3_finalize(statement);
    return result;
  }

  // Inserts a row as another program would, `value` as a blob.
  void insert(const std::string& account, const std::string& service, const std::string& value) {
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_,
                                 "INSERT INTO generic_passwords VALUES (?1, ?2, 'Other Access', "
                                 "'[]', ?3)",
                                 -1, &statement, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db_);
    sqlite3_bind_text(statement, 1, account.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, service.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(statement, 3, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
  }

 private:
  sqlite3* db_ = nullptr;
  std::string lastError_;
};

GenericPasswordItem makeItem(std::string account, std::string value,
                             std::string service = "Orvanta Forwarder") {
  GenericPasswordItem item;
  item.account = std::move(account);
  item.service = std::move(service);
  item.accessDescription = "Shared Item Access";
  item.value = std::move(value);
  return item;
}

class SqliteKeychainTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string databasePath_ = dir_ / "store/shared-items.sqlite";
  std::shared_ptr<Keychain> keychain_ = makeSqliteKeychain(databasePath_);

  void createDatabaseWith(const std::string& sql) {
    std::filesystem::create_directories(dir_ / "store");
    RawDatabase raw(databasePath_);
    ASSERT_TRUE(raw.exec(sql)) << raw.lastError();
  }
};

TEST_F(SqliteKeychainTest, AddCopyAndDeleteByAccount) {
  EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1700000000.5")), KeychainStatus::success);

  KeychainCopyResult copied = keychain_->copyValue("UpdateLastRun");
  EXPECT_EQ(copied.status, KeychainStatus::success);
  EXPECT_EQ(copied.value, "1700000000.5");

  EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::success);
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::itemNotFound);

  EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "second")), KeychainStatus::success);
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").value, "second");
}

TEST_F(SqliteKeychainTest, AddingAnExistingAccountIsADuplicateAndKeepsTheItem) {
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "first")), KeychainStatus::success);

  EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "second")), KeychainStatus::duplicateItem);
  // The account alone decides: another service does not make a second item.
  EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "third", "Other Service")),
            KeychainStatus::duplicateItem);
  // Accounts compare exactly.
  EXPECT_EQ(keychain_->addItem(makeItem("updatelastrun", "other")), KeychainStatus::success);

  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").value, "first");
  RawDatabase raw(databasePath_);
  EXPECT_THAT(raw.rows("SELECT account, value FROM generic_passwords ORDER BY account"),
              ElementsAre("UpdateLastRun|first", "updatelastrun|other"));
}

TEST_F(SqliteKeychainTest, ValuesComeBackByteForByte) {
  const std::vector<std::string> values = {
      "",
      std::string("nul\0inside", 10),
      "\xff\xfe not UTF-8 \xc0\x80",
      "h\xc3\xa9llo \xf0\x9f\x98\x80",
      std::string(1 << 20, 'x'),
  };
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string account = "account-" + std::to_string(i);
    ASSERT_EQ(keychain_->addItem(makeItem(account, values[i])), KeychainStatus::success) << i;
    KeychainCopyResult copied = keychain_->copyValue(account);
    EXPECT_EQ(copied.status, KeychainStatus::success) << i;
    EXPECT_EQ(copied.value, values[i]) << i;
  }
  RawDatabase raw(databasePath_);
  EXPECT_THAT(raw.rows("SELECT DISTINCT typeof(value) FROM generic_passwords"),
              ElementsAre("blob"));
}

TEST_F(SqliteKeychainTest, StoresEveryColumnAsDocumented) {
  GenericPasswordItem item = makeItem("SharedAssetIdentifier", "asset-1");
  item.trustedApplications = {"/b/app", "/a/app", "/b/app", "/with \"quote\""};
  ASSERT_EQ(keychain_->addItem(item), KeychainStatus::success);
  ASSERT_EQ(keychain_->addItem(makeItem("FullScanStatus", "done")), KeychainStatus::success);

  RawDatabase raw(databasePath_);
  EXPECT_THAT(raw.rows("SELECT account, service, access_description, trusted_applications, "
                       "value FROM generic_passwords ORDER BY account"),
              ElementsAre("FullScanStatus|Orvanta Forwarder|Shared Item Access|[]|done",
                          "SharedAssetIdentifier|Orvanta Forwarder|Shared Item Access|"
                          "[\"/b/app\",\"/a/app\",\"/b/app\",\"/with \\\"quote\\\"\"]|asset-1"));
}

TEST_F(SqliteKeychainTest, SelectsByAccountWhateverTheService) {
  createDatabaseWith(kDocumentedSchema);
  RawDatabase raw(databasePath_);
  raw.insert("SharedAssetIdentifier", "Another Program", "asset-from-elsewhere");

  KeychainCopyResult copied = keychain_->copyValue("SharedAssetIdentifier");
  EXPECT_EQ(copied.status, KeychainStatus::success);
  EXPECT_EQ(copied.value, "asset-from-elsewhere");
  EXPECT_EQ(keychain_->deleteAccountItems("SharedAssetIdentifier"), KeychainStatus::success);
  EXPECT_THAT(raw.rows("SELECT account FROM generic_passwords"), IsEmpty());
}

TEST_F(SqliteKeychainTest, DeletingAServiceLeavesOtherServices) {
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success);
  ASSERT_EQ(keychain_->addItem(makeItem("FullScanStatus", "2")), KeychainStatus::success);
  RawDatabase raw(databasePath_);
  raw.insert("SharedAssetIdentifier", "Another Program", "3");
  raw.insert("Lookalike", "orvanta forwarder", "4");

  EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::success);
  EXPECT_THAT(raw.rows("SELECT account, service FROM generic_passwords ORDER BY account"),
              ElementsAre("Lookalike|orvanta forwarder", "SharedAssetIdentifier|Another Program"));
  EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::itemNotFound);
}

TEST_F(SqliteKeychainTest, ReadsAndDeletesOfAMissingStoreCreateNothing) {
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::itemNotFound);
  EXPECT_FALSE(exists(dir_ / "store"));
}

TEST_F(SqliteKeychainTest, AMissingTableIsNoItemAndTheFirstAddCreatesIt) {
  createDatabaseWith("CREATE TABLE unrelated (x INTEGER); INSERT INTO unrelated VALUES (7);");

  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::itemNotFound);
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success);

  RawDatabase raw(databasePath_);
  EXPECT_THAT(raw.rows("SELECT x FROM unrelated"), ElementsAre("7"));
  EXPECT_THAT(raw.rows("SELECT strict FROM pragma_table_list WHERE name = 'generic_passwords'"),
              ElementsAre("1"));
}

TEST_F(SqliteKeychainTest, CreatesTheFolderAndFileWithPrivateModesWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    const std::string top = dir_ / ("umask-" + std::to_string(mask));
    const std::string database = top + "/b/shared-items.sqlite";
    const mode_t previous = ::umask(mask);
    const KeychainStatus status =
        makeSqliteKeychain(database)->addItem(makeItem("UpdateLastRun", "1"));
    ::umask(previous);

    ASSERT_EQ(status, KeychainStatus::success) << mask;
    EXPECT_EQ(modeOf(top), 0700u) << mask;
    EXPECT_EQ(modeOf(top + "/b"), 0700u) << mask;
    EXPECT_EQ(modeOf(database), 0600u) << mask;
  }
}

TEST_F(SqliteKeychainTest, AnExistingFolderAndFileKeepTheirModes) {
  std::filesystem::create_directories(dir_ / "store");
  ::chmod((dir_ / "store").c_str(), 0750);
  { RawDatabase raw(databasePath_); }
  ::chmod(databasePath_.c_str(), 0640);

  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success);
  EXPECT_EQ(modeOf(dir_ / "store"), 0750u);
  EXPECT_EQ(modeOf(databasePath_), 0640u);
}

TEST_F(SqliteKeychainTest, AFolderThatCannotBeCreatedFails) {
  writeFile(dir_ / "plain-file", "not a folder");
  auto keychain = makeSqliteKeychain(dir_ / "plain-file/store/shared-items.sqlite");

  EXPECT_EQ(keychain->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::failure);
  EXPECT_EQ(keychain->copyValue("UpdateLastRun").status, KeychainStatus::failure);
  EXPECT_EQ(keychain->deleteAccountItems("UpdateLastRun"), KeychainStatus::failure);
  EXPECT_EQ(keychain->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::failure);
  EXPECT_EQ(readFile(dir_ / "plain-file"), "not a folder");
}

TEST_F(SqliteKeychainTest, AFileThatIsNotADatabaseIsLeftIntact) {
  std::string noise(9000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) % 251);
  const std::vector<std::string> contents = {
      "just some text\n",
      std::string("SQLite format 3\0", 16) + std::string(200, '\x01'),
      noise,
  };
  std::filesystem::create_directories(dir_ / "store");
  for (const std::string& bytes : contents) {
    writeFile(databasePath_, bytes);

    EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::failure);
    EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::failure);
    EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::failure);
    EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::failure);

    EXPECT_EQ(readFile(databasePath_), bytes);
    EXPECT_FALSE(exists(databasePath_ + "-journal"));
  }
}

TEST_F(SqliteKeychainTest, ASymbolicLinkAtTheDatabasePathIsNotFollowed) {
  std::filesystem::create_directories(dir_ / "store");
  {
    RawDatabase target(dir_ / "elsewhere.sqlite");
    ASSERT_TRUE(target.exec(kDocumentedSchema));
  }
  const std::string before = readFile(dir_ / "elsewhere.sqlite");
  ASSERT_EQ(::symlink((dir_ / "elsewhere.sqlite").c_str(), databasePath_.c_str()), 0);

  EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::failure);
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::failure);
  EXPECT_EQ(readFile(dir_ / "elsewhere.sqlite"), before);
}

struct ForeignShape {
  const char* name;
  const char* sql;
};

void PrintTo(const ForeignShape& shape, std::ostream* out) { *out << shape.name; }

class ForeignTableTest : public SqliteKeychainTest,
                         public ::testing::WithParamInterface<ForeignShape> {};

TEST_P(ForeignTableTest, IsRefusedAndLeftAsItIs) {
  createDatabaseWith(GetParam().sql);
  const std::string before = readFile(databasePath_);

  EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::failure);
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::failure);
  EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::failure);
  EXPECT_EQ(keychain_->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::failure);

  EXPECT_EQ(readFile(databasePath_), before);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ForeignTableTest,
    ::testing::Values(
        ForeignShape{"NotStrict",
                     "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service "
                     "TEXT NOT NULL, access_description TEXT NOT NULL, trusted_applications TEXT "
                     "NOT NULL, value BLOB NOT NULL);"},
        ForeignShape{"ValueIsText",
                     "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service "
                     "TEXT NOT NULL, access_description TEXT NOT NULL, trusted_applications TEXT "
                     "NOT NULL, value TEXT NOT NULL) STRICT;"},
        ForeignShape{"MissingColumn",
                     "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service "
                     "TEXT NOT NULL, trusted_applications TEXT NOT NULL, value BLOB NOT NULL) "
                     "STRICT;"},
        ForeignShape{"ExtraColumn",
                     "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service "
                     "TEXT NOT NULL, access_description TEXT NOT NULL, trusted_applications TEXT "
                     "NOT NULL, value BLOB NOT NULL, label TEXT) STRICT;"},
        ForeignShape{"ColumnsReordered",
                     "CREATE TABLE generic_passwords (service TEXT NOT NULL, account TEXT PRIMARY "
                     "KEY NOT NULL, access_description TEXT NOT NULL, trusted_applications TEXT "
                     "NOT NULL, value BLOB NOT NULL) STRICT;"},
        ForeignShape{"Nullable",
                     "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service "
                     "TEXT, access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, "
                     "value BLOB NOT NULL) STRICT;"},
        ForeignShape{"AccountOnlyUnique",
                     "CREATE TABLE generic_passwords (account TEXT UNIQUE NOT NULL, service TEXT "
                     "NOT NULL, access_description TEXT NOT NULL, trusted_applications TEXT NOT "
                     "NULL, value BLOB NOT NULL) STRICT;"},
        ForeignShape{"KeyOfTwoColumns",
                     "CREATE TABLE generic_passwords (account TEXT NOT NULL, service TEXT NOT "
                     "NULL, access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, "
                     "value BLOB NOT NULL, PRIMARY KEY (account, service)) STRICT;"},
        ForeignShape{"AccountIgnoresCase",
                     "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL COLLATE "
                     "NOCASE, service TEXT NOT NULL, access_description TEXT NOT NULL, "
                     "trusted_applications TEXT NOT NULL, value BLOB NOT NULL) STRICT;"},
        ForeignShape{"View",
                     "CREATE TABLE items (account TEXT PRIMARY KEY NOT NULL, service TEXT NOT "
                     "NULL, access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, "
                     "value BLOB NOT NULL) STRICT; CREATE VIEW generic_passwords AS SELECT * FROM "
                     "items;"},
        ForeignShape{"OtherCaseOtherShape", "CREATE TABLE GENERIC_PASSWORDS (x INT) STRICT;"}),
    [](const ::testing::TestParamInfo<ForeignShape>& info) { return info.param.name; });

TEST_F(SqliteKeychainTest, AcceptsTheDocumentedTableWrittenByOthers) {
  const std::vector<std::string> schemas = {
      kDocumentedSchema,
      "create table Generic_Passwords(ACCOUNT text not null primary key, service text not null, "
      "access_description text not null, trusted_applications text not null, value blob not "
      "null) strict;",
      "CREATE TABLE generic_passwords (account TEXT PRIMARY KEY NOT NULL, service TEXT NOT NULL, "
      "access_description TEXT NOT NULL, trusted_applications TEXT NOT NULL, value BLOB NOT "
      "NULL) STRICT, WITHOUT ROWID;",
  };
  for (const std::string& schema : schemas) {
    std::filesystem::remove_all(dir_ / "store");
    createDatabaseWith(schema);
    EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "1")), KeychainStatus::success)
        << schema;
    EXPECT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "2")), KeychainStatus::duplicateItem)
        << schema;
    EXPECT_EQ(keychain_->copyValue("UpdateLastRun").value, "1") << schema;
    EXPECT_EQ(keychain_->deleteAccountItems("UpdateLastRun"), KeychainStatus::success) << schema;
  }
}

TEST_F(SqliteKeychainTest, ALockHeldPastTheBusyTimeOutFailsWithoutHarm) {
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "kept")), KeychainStatus::success);
  auto impatient = makeSqliteKeychain(databasePath_, std::chrono::milliseconds(50));
  RawDatabase holder(databasePath_);

  // A writer in progress elsewhere: reads go on, writes wait and give up.
  ASSERT_TRUE(holder.exec("BEGIN IMMEDIATE"));
  EXPECT_EQ(impatient->copyValue("UpdateLastRun").value, "kept");
  EXPECT_EQ(impatient->addItem(makeItem("FullScanStatus", "x")), KeychainStatus::failure);
  EXPECT_EQ(impatient->deleteAccountItems("UpdateLastRun"), KeychainStatus::failure);
  ASSERT_TRUE(holder.exec("ROLLBACK"));

  // An exclusive lock stops readers too.
  ASSERT_TRUE(holder.exec("BEGIN EXCLUSIVE"));
  EXPECT_EQ(impatient->copyValue("UpdateLastRun").status, KeychainStatus::failure);
  EXPECT_EQ(impatient->addItem(makeItem("FullScanStatus", "x")), KeychainStatus::failure);
  EXPECT_EQ(impatient->deleteServiceItems("Orvanta Forwarder"), KeychainStatus::failure);
  ASSERT_TRUE(holder.exec("ROLLBACK"));

  EXPECT_EQ(impatient->copyValue("UpdateLastRun").value, "kept");
  EXPECT_EQ(impatient->copyValue("FullScanStatus").status, KeychainStatus::itemNotFound);
  EXPECT_EQ(impatient->addItem(makeItem("FullScanStatus", "x")), KeychainStatus::success);
}

// Runs `body` in a child process as an unprivileged user (when the test runs
// as root, permission bits alone would not stop it) and returns what the
// child wrote to its pipe.
template <class Body>
std::string runUnprivileged(Body body) {
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
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return report;
}

std::string statusName(KeychainStatus status) {
  switch (status) {
    case KeychainStatus::success:
      return "success";
    case KeychainStatus::duplicateItem:
      return "duplicate";
    case KeychainStatus::itemNotFound:
      return "notFound";
    case KeychainStatus::failure:
      return "failure";
  }
  return "?";
}

TEST_F(SqliteKeychainTest, AStoreThatCanOnlyBeReadIsReadButNotChanged) {
  ASSERT_EQ(keychain_->addItem(makeItem("UpdateLastRun", "kept")), KeychainStatus::success);
  ::chmod(dir_.path().c_str(), 0755);
  ::chmod((dir_ / "store").c_str(), 0755);
  ::chmod(databasePath_.c_str(), 0644);
  const std::string before = readFile(databasePath_);

  const std::string report = runUnprivileged([&] {
    auto keychain = makeSqliteKeychain(databasePath_, std::chrono::milliseconds(200));
    KeychainCopyResult copied = keychain->copyValue("UpdateLastRun");
    return statusName(copied.status) + ":" + copied.value + " " +
           statusName(keychain->addItem(makeItem("FullScanStatus", "x"))) + " " +
           statusName(keychain->deleteAccountItems("UpdateLastRun")) + " " +
           statusName(keychain->deleteServiceItems("Orvanta Forwarder")) + " " +
           statusName(makeSqliteKeychain(dir_ / "store/new.sqlite")
                          ->addItem(makeItem("UpdateLastRun", "x")));
  });

  EXPECT_EQ(report, "success:kept failure failure failure failure");
  EXPECT_EQ(readFile(databasePath_), before);
  EXPECT_FALSE(exists(dir_ / "store/new.sqlite"));
}

TEST_F(SqliteKeychainTest, TrustedApplicationReferencesNeedAnExistingPath) {
  writeFile(dir_ / "tool", "#!/bin/sh\n");
  EXPECT_EQ(keychain_->createTrustedApplicationReference(dir_ / "tool"), dir_ / "tool");
  EXPECT_EQ(keychain_->createTrustedApplicationReference(dir_.path()), dir_.path());
  EXPECT_EQ(keychain_->createTrustedApplicationReference(dir_ / "missing"), std::nullopt);
  EXPECT_EQ(keychain_->createTrustedApplicationReference(""), std::nullopt);
}

TEST_F(SqliteKeychainTest, ATrustedPathWithoutAJsonFormIsRefused) {
  GenericPasswordItem item = makeItem("UpdateLastRun", "1");
  item.trustedApplications = {"/ok", "/bad\xff"};
  EXPECT_EQ(keychain_->addItem(item), KeychainStatus::failure);
  EXPECT_EQ(keychain_->copyValue("UpdateLastRun").status, KeychainStatus::itemNotFound);
}

// The command-line tool stands for the forwarder's other programs.
std::string runSqliteTool(const std::string& database, const std::string& sql, const TempDir& dir) {
  writeFile(dir / "script.sql", sql);
  const std::string command =
      "sqlite3 -batch '" + database + "' < '" + (dir / "script.sql") + "' 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

TEST_F(SqliteKeychainTest, TheCommandLineToolAndQuarnReadEachOthersItems) {
  GenericPasswordItem item = makeItem("UpdateLastRun", "1700000000.25");
  item.trustedApplications = {"/Applications/Tool.app"};
  ASSERT_EQ(keychain_->addItem(item), KeychainStatus::success);

  EXPECT_EQ(runSqliteTool(databasePath_,
                          "SELECT account, service, access_description, trusted_applications, "
                          "CAST(value AS TEXT), typeof(value) FROM generic_passwords;",
                          dir_),
            "UpdateLastRun|Orvanta Forwarder|Shared Item Access|[\"/Applications/Tool.app\"]|"
            "1700000000.25|blob\n");

  EXPECT_EQ(runSqliteTool(databasePath_,
                          "INSERT INTO generic_passwords VALUES ('SharedAssetIdentifier', "
                          "'Orvanta Forwarder', 'Shared Item Access', '[]', "
                          "CAST('asset-\xc3\xa9' AS BLOB));",
                          dir_),
            "");
  EXPECT_EQ(keychain_->copyValue("SharedAssetIdentifier").value, "asset-\xc3\xa9");
}

TEST_F(SqliteKeychainTest, ATableTheCommandLineToolCreatedIsUsed) {
  std::filesystem::create_directories(dir_ / "store");
  ASSERT_EQ(runSqliteTool(databasePath_, kDocumentedSchema, dir_), "");

  ASSERT_EQ(keychain_->addItem(makeItem("FullScanStatus", "idle")), KeychainStatus::success);
  EXPECT_EQ(runSqliteTool(databasePath_, "SELECT account, value FROM generic_passwords;", dir_),
            "FullScanStatus|idle\n");
}

TEST_F(SqliteKeychainTest, ThreadsMayShareOneKeychain) {
  constexpr int kThreads = 4;
  constexpr int kAccounts = 20;
  std::vector<std::vector<KeychainStatus>> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int account = 0; account < kAccounts; ++account) {
        outcomes[thread].push_back(keychain_->addItem(
            makeItem("account-" + std::to_string(account), "t" + std::to_string(thread))));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int account = 0; account < kAccounts; ++account) {
    int wins = 0;
    std::string winner;
    for (int thread = 0; thread < kThreads; ++thread) {
      const KeychainStatus status = outcomes[thread][account];
      EXPECT_TRUE(status == KeychainStatus::success || status == KeychainStatus::duplicateItem);
      if (status == KeychainStatus::success) {
        ++wins;
        winner = "t" + std::to_string(thread);
      }
    }
    EXPECT_EQ(wins, 1) << account;
    EXPECT_EQ(keychain_->copyValue("account-" + std::to_string(account)).value, winner);
  }
}

// Several processes race on the same accounts; each runs its operations and
// writes one line per operation to a log of its own.
class KeychainRaceTest : public SqliteKeychainTest {
 protected:
  static constexpr int kProcesses = 6;

  template <class Body>
  std::vector<std::vector<std::string>> race(Body body) {
    int gate[2];
    EXPECT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(gate[1]);
        char byte;
        while (::read(gate[0], &byte, 1) > 0) {
        }  // every child starts when the parent closes the gate
        auto keychain = makeSqliteKeychain(databasePath_, std::chrono::seconds(30));
        std::ofstream log(logPath(process));
        body(*keychain, process, log);
        log.close();
        ::_exit(log ? 0 : 1);
      }
      children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    std::vector<std::vector<std::string>> logs;
    for (int process = 0; process < kProcesses; ++process) {
      int status = 0;
      EXPECT_EQ(::waitpid(children[process], &status, 0), children[process]);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << process;
      std::vector<std::string> lines;
      std::istringstream in(readFile(logPath(process)));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      logs.push_back(lines);
    }
    return logs;
  }

  std::string logPath(int process) const { return dir_ / ("log-" + std::to_string(process)); }
};

TEST_F(KeychainRaceTest, ExactlyOneAddWinsAndEveryReadSeesTheWinner) {
  constexpr int kAccounts = 10;
  const auto logs = race([](Keychain& keychain, int process, std::ostream& log) {
    for (int account = 0; account < kAccounts; ++account) {
      const std::string name = "account-" + std::to_string(account);
      const std::string value = "p" + std::to_string(process);
      log << "add " << name << ' ' << statusName(keychain.addItem(makeItem(name, value))) << '\n';
      KeychainCopyResult copied = keychain.copyValue(name);
      log << "read " << name << ' ' << statusName(copied.status) << ' ' << copied.value << '\n';
    }
  });

  std::map<std::string, std::vector<std::string>> winners;  // account -> winning processes
  std::map<std::string, std::set<std::string>> seen;        // account -> values read
  for (int process = 0; process < kProcesses; ++process) {
    ASSERT_EQ(logs[process].size(), 2u * kAccounts) << "process " << process;
    for (const std::string& line : logs[process]) {
      std::istringstream fields(line);
      std::string operation, name, status, value;
      fields >> operation >> name >> status >> value;
      if (operation == "add") {
        EXPECT_TRUE(status == "success" || status == "duplicate") << line;
        if (status == "success") winners[name].push_back("p" + std::to_string(process));
      } else {
        EXPECT_EQ(status, "success") << line;
        seen[name].insert(value);
      }
    }
  }
  for (int account = 0; account < kAccounts; ++account) {
    const std::string name = "account-" + std::to_string(account);
    ASSERT_EQ(winners[name].size(), 1u) << name;
    EXPECT_THAT(seen[name], ElementsAre(winners[name][0])) << name;
    EXPECT_EQ(keychain_->copyValue(name).value, winners[name][0]) << name;
  }
}

TEST_F(KeychainRaceTest, AddsAndDeletesAlternateAndReadsSeeOnlyWrittenValues) {
  constexpr int kRounds = 25;
  const std::vector<std::string> names = {"UpdateLastRun", "SharedAssetIdentifier"};
  const auto logs = race([&](Keychain& keychain, int process, std::ostream& log) {
    for (int round = 0; round < kRounds; ++round) {
      for (const std::string& name : names) {
        const std::string value = "p" + std::to_string(process) + "r" + std::to_string(round);
        log << "add " << name << ' ' << statusName(keychain.addItem(makeItem(name, value))) << ' '
            << value << '\n';
        KeychainCopyResult copied = keychain.copyValue(name);
        log << "read " << name << ' ' << statusName(copied.status) << ' ' << copied.value << '\n';
        if ((process + round) % 2 == 0) {
          log << "delete " << name << ' ' << statusName(keychain.deleteAccountItems(name)) << '\n';
        }
      }
    }
  });

  std::map<std::string, std::set<std::string>> written;
  std::map<std::string, std::vector<std::string>> read;
  std::map<std::string, int> adds, deletes;
  for (const auto& lines : logs) {
    for (const std::string& line : lines) {
      std::istringstream fields(line);
      std::string operation, name, status, value;
      fields >> operation >> name >> status >> value;
      ASSERT_NE(status, "failure") << line;
      if (operation == "add" && status == "success") {
        written[name].insert(value);
        ++adds[name];
      } else if (operation == "read" && status == "success") {
        read[name].push_back(value);
      } else if (operation == "delete" && status == "success") {
        ++deletes[name];
      }
    }
  }
  for (const std::string& name : names) {
    for (const std::string& value : read[name]) {
      EXPECT_TRUE(written[name].count(value)) << name << " read " << value << ", never written";
    }
    const bool present = keychain_->copyValue(name).status == KeychainStatus::success;
    EXPECT_EQ(adds[name] - deletes[name], present ? 1 : 0) << name;
    EXPECT_GT(adds[name], 1) << name;
  }
}

}  // namespace
}  // namespace quarn::platform
