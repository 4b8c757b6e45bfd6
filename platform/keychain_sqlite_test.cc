// The keychain on real SQLite files: the table other programs share, the
// modes of what it creates, locks, concurrent callers, and the stores it
// refuses to touch.
#include <gmock/gmock.h>
#include <sqlite3.h>

#include <filesystem>
#include <latch>
#include <thread>

#include "platform/keychain.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/scoped_temp_dir.h"

namespace quarn::platform {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre, ::testing::AllOf, ::testing::SizeIs, ::testing::Each,
    ::testing::MatchesRegex;
constexpr auto kSuccess = KeychainStatus::success;
constexpr auto kNotFound = KeychainStatus::itemNotFound;
constexpr auto kDuplicate = KeychainStatus::duplicateItem;

// The table that the keychain and the forwarder's other programs share, with
// each `from` replaced by `to`.
std::string table(const std::vector<std::pair<std::string, std::string>>& edits = {}) {
  std::string sql = std::string(kCreateGenericPasswordsTable) + ";";
  for (const auto& [from, to] : edits) sql.replace(sql.find(from), from.size(), to);
  return sql;
}

// Runs `statements` on the database at `path` as another program would; the
// rows, columns joined by '|'.
std::vector<std::string> sql(const std::string& path, const std::string& statements) {
  sqlite3* db = nullptr;
  char** cells = nullptr;
  int rows = 0, columns = 0;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK) << path;
  EXPECT_EQ(sqlite3_get_table(db, statements.c_str(), &cells, &rows, &columns, nullptr), SQLITE_OK)
      << statements << ": " << sqlite3_errmsg(db);
  std::vector<std::string> result(rows);
  for (int i = columns; i < (rows + 1) * columns; ++i)
    result[i / columns - 1] += (i % columns ? "|" : "") + std::string(cells[i] ? cells[i] : "NULL");
  sqlite3_free_table(cells);
  sqlite3_close(db);
  return result;
}

GenericPasswordItem item(std::string account, std::string value, std::string service = "Ours") {
  return {std::move(account), std::move(service), "Shared Item Access", {}, std::move(value)};
}

class SqliteKeychainTest : public ::testing::Test {
 protected:
  Logger logger() { return Logger("com.kelvane.Orvanta.quarn", "Shared Items Storage", sink_); }

  const testing::ScopedTempDir temp_;
  const std::string folder_ = temp_.path + "/store", path_ = folder_ + "/shared-items.sqlite";
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<Keychain> keychain_ = makeSqliteKeychain(path_, logger());
};

// Nothing is found, and nothing created, in a store that does not exist. An
// addition creates what is missing (here a replacement,
// which needs no old item): folders and file private whatever the umask, and a
// table that it accepts, where it finds an existing account. Reads and
// deletions by account ignore the service; deleting a service's items leaves
// the others. Columns are stored as documented, values as the bytes given, in
// the table as other programs may spell it.
TEST_F(SqliteKeychainTest, KeepsItemsAsDocumentedAndCreatesOnlyWhatAnAdditionNeeds) {
  EXPECT_EQ(keychain_->copyValue("k").status, kNotFound);
  EXPECT_FALSE(fs::exists(folder_));
  const auto created = makeSqliteKeychain(temp_.path + "/a/new", logger());
  const mode_t previous = ::umask(0277);
  EXPECT_EQ(created->replaceItem(item("k", "")), kSuccess);
  ::umask(previous);
  EXPECT_EQ(fs::status(temp_.path + "/a").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(temp_.path + "/a/new").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  fs::create_directories(folder_);
  sql(path_, table({{"generic_passwords (\n  account", "Generic_Passwords (\n  ACCOUNT"}}));
  GenericPasswordItem shared = item("SharedAssetIdentifier", "asset-1");
  shared.trustedApplications = {"/b/app", "/a/app", "/b/app", "/with \"quote\""};
  ASSERT_EQ(keychain_->addItem(shared), kSuccess);
  const std::string bytes("\xff\0v", 3);
  ASSERT_EQ(keychain_->addItem(item("Bytes", bytes, "Theirs")), kSuccess);
  EXPECT_EQ(keychain_->copyValue("Bytes").value, bytes);
  EXPECT_THAT(
      sql(path_, "SELECT *, typeof(value) FROM generic_passwords WHERE account LIKE 'Shared%'"),
      ElementsAre(R"(SharedAssetIdentifier|Ours|Shared Item Access|["/b/app","/a/app",)"
                  R"("/b/app","/with \"quote\""]|asset-1|blob)"));

  EXPECT_EQ(keychain_->deleteServiceItems("Ours"), kSuccess);
  EXPECT_EQ(keychain_->deleteAccountItems("Bytes"), kSuccess);
  EXPECT_EQ(keychain_->deleteAccountItems("Bytes"), kNotFound);
  EXPECT_THAT(sink_->messages(), ElementsAre()) << "finding nothing is no failure";
}

// Any other store, and one that another connection holds past the busy
// time-out, fails every call, leaves no journal, and each call logs what it
// could not do and why. While the other connection only writes, reads go on.
TEST_F(SqliteKeychainTest, UsesTheDocumentedTableAndNoOtherStore) {
  // What another connection runs on the database (here or elsewhere, linked
  // from here) and holds open during the calls, and why they fail. (A file that
  // is not a database is a row of the start's table.)
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"elsewhere", table(), "unable to open database file"},
      {"here", table() + "BEGIN IMMEDIATE", "database is locked"},
      {"here", table({{") STRICT", ")"}}), "another shape"},
      {"here", table({{"BLOB NOT NULL", "BLOB NOT NULL, label TEXT"}}), "another shape"},
      {"here", table({{"PRIMARY KEY", "UNIQUE"}}), "another shape"},
      {"here", table({{"KEY NOT NULL", "KEY NOT NULL COLLATE NOCASE"}}), "another shape"},
  };
  const auto impatient = makeSqliteKeychain(path_, logger(), std::chrono::milliseconds(50));
  for (const auto& [where, content, why] : cases) {
    SCOPED_TRACE(content);
    fs::remove_all(folder_);
    sink_->clear();
    sqlite3* other = nullptr;
    fs::create_directories(folder_);
    if (where == "elsewhere") fs::create_symlink(temp_.path + "/elsewhere.sqlite", path_);
    sqlite3_open(path_.c_str(), &other);  // through the link too
    EXPECT_EQ(sqlite3_exec(other, content.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    const bool readable = content.ends_with("BEGIN IMMEDIATE");  // the other only writes

    EXPECT_EQ(impatient->addItem(item("k", "1")), KeychainStatus::failure);
    EXPECT_EQ(impatient->copyValue("k").status, readable ? kNotFound : KeychainStatus::failure);
    EXPECT_EQ(impatient->deleteAccountItems("k"), KeychainStatus::failure);
    sqlite3_close(other);
    EXPECT_FALSE(fs::exists(path_ + "-journal"));
    EXPECT_THAT(sink_->messages(), AllOf(SizeIs(readable ? 2 : 3),
                                         Each(MatchesRegex("Shared items store " + path_ +
                                                           ": could not .* \\(.*\\): .*" + why))));
  }
}

// Racers create the missing store and add their own value under one account
// at once: exactly one addition wins and its value is kept; the others find a
// duplicate, which is no failure.
TEST_F(SqliteKeychainTest, OneOfConcurrentAdditionsWins) {
  constexpr int kRacers = 8;
  KeychainStatus outcomes[kRacers];
  std::latch start(kRacers);
  std::vector<std::jthread> racers;
  for (int id = 0; id < kRacers; ++id) {
    racers.emplace_back([&, id] {
      start.arrive_and_wait();
      outcomes[id] = keychain_->addItem(item("k", std::to_string(id)));
    });
  }
  racers.clear();  // joins them
  const std::string winner = keychain_->copyValue("k").value;
  for (int id = 0; id < kRacers; ++id)
    EXPECT_EQ(outcomes[id], winner == std::to_string(id) ? kSuccess : kDuplicate) << "racer " << id;
  EXPECT_THAT(sink_->messages(), ElementsAre());
}

}  // namespace
}  // namespace quarn::platform
