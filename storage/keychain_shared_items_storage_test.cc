#include "storage/keychain_shared_items_storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace quarn::storage {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Optional;

constexpr std::string_view kSystemExtensionPath =
    "/Applications/Orvanta Forwarder.app/Contents/Library/SystemExtensions/"
    "com.kelvane.Orvanta.ProcessMonitor.systemextension";
constexpr std::string_view kMainPath = "/Applications/Orvanta Forwarder.app";
constexpr std::string_view kQuarnPath =
    "/Applications/Orvanta Forwarder.app/Contents/MacOS/quarn.app";

TEST(SharedItemTest, RawValuesAreTheAccountNames) {
  EXPECT_EQ(rawValue(SharedItem::computerIsRegistered), "ComputerIsRegistered");
  EXPECT_EQ(rawValue(SharedItem::fullScanStatus), "FullScanStatus");
  EXPECT_EQ(rawValue(SharedItem::assetIdentifier), "SharedAssetIdentifier");
  EXPECT_EQ(rawValue(SharedItem::updateLastRun), "UpdateLastRun");
  for (SharedItem item : {SharedItem::computerIsRegistered, SharedItem::fullScanStatus,
                          SharedItem::assetIdentifier, SharedItem::updateLastRun}) {
    EXPECT_THAT(sharedItemFromRawValue(rawValue(item)), Optional(item)) << rawValue(item);
  }
}

TEST(SharedItemTest, OnlyExactRawValuesMakeAKey) {
  for (std::string_view text : {"updateLastRun", "UPDATELASTRUN", "UpdateLastRun ",
                                " UpdateLastRun", "assetIdentifier", "AssetIdentifier", ""}) {
    EXPECT_EQ(sharedItemFromRawValue(text), std::nullopt) << text;
  }
  EXPECT_EQ(sharedItemFromRawValue(std::string_view("UpdateLastRun\0", 14)), std::nullopt);
}

TEST(TrustedApplicationTest, PathsAreTheForwardersApplications) {
  EXPECT_EQ(applicationPath(TrustedApplication::systemExtension), kSystemExtensionPath);
  EXPECT_EQ(applicationPath(TrustedApplication::main), kMainPath);
  EXPECT_EQ(applicationPath(TrustedApplication::quarn), kQuarnPath);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/quarn-storage-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Plain SQL on the store, standing for the forwarder's other programs.
class RawDatabase {
 public:
  explicit RawDatabase(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path;
    }
  }
  ~RawDatabase() { sqlite3_close_v2(db_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  void exec(const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
  }

  void insert(const std::string& account, const std::string& service, const std::string& value) {
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_,
                                 "INSERT INTO generic_passwords VALUES (?1, ?2, 'Elsewhere', '[]', "
                                 "?3)",
                                 -1, &statement, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db_);
    sqlite3_bind_text(statement, 1, account.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, service.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(statement, 3, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
  }

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
        if (bytes != nullptr) {
          row.append(static_cast<const char*>(bytes), sqlite3_column_bytes(statement, i));
        }
      }
      result.push_back(row);
    }
    sqlite3_finalize(statement);
    return result;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The SQLite keychain, except that trusted-application references succeed
// exactly for the paths listed in `existing` (the forwarder's paths do not
// exist on a test machine).
class KeychainWithApplications final : public platform::Keychain {
 public:
  KeychainWithApplications(std::shared_ptr<platform::Keychain> store,
                           std::set<std::string> existing)
      : store_(std::move(store)), existing_(std::move(existing)) {}

  platform::KeychainStatus addItem(const platform::GenericPasswordItem& item) override {
    return store_->addItem(item);
  }
  platform::KeychainCopyResult copyValue(std::string_view account) override {
    return store_->copyValue(account);
  }
  platform::KeychainStatus deleteAccountItems(std::string_view account) override {
    return store_->deleteAccountItems(account);
  }
  platform::KeychainStatus deleteServiceItems(std::string_view service) override {
    return store_->deleteServiceItems(service);
  }
  std::optional<std::string> createTrustedApplicationReference(const std::string& path) override {
    if (existing_.count(path) == 0) return std::nullopt;
    return path;
  }

 private:
  std::shared_ptr<platform::Keychain> store_;
  std::set<std::string> existing_;
};

class KeychainSharedItemsStorageTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string databasePath_ = dir_ / "store/shared-items.sqlite";
  KeychainSharedItemsStorage storage_{platform::makeSqliteKeychain(databasePath_)};

  std::vector<std::string> storedRows() {
    RawDatabase raw(databasePath_);
    return raw.rows(
        "SELECT account, service, access_description, trusted_applications, value "
        "FROM generic_passwords ORDER BY account");
  }
};

TEST_F(KeychainSharedItemsStorageTest, SavesOneItemPerKeyWithTheForwardersAttributes) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "1700000000.5", {}));
  ASSERT_TRUE(storage_.saveItem(SharedItem::assetIdentifier, "asset-\xc3\xa9", {}));

  EXPECT_THAT(
      storedRows(),
      ElementsAre("SharedAssetIdentifier|Orvanta Forwarder|Shared Item Access|[]|asset-\xc3\xa9",
                  "UpdateLastRun|Orvanta Forwarder|Shared Item Access|[]|1700000000.5"));
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("1700000000.5")));
  EXPECT_THAT(storage_.readItem(SharedItem::assetIdentifier),
              Optional(std::string("asset-\xc3\xa9")));
}

TEST_F(KeychainSharedItemsStorageTest, SavingTwiceKeepsTheFirstValue) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "first", {TrustedApplication::quarn}));
  EXPECT_FALSE(storage_.saveItem(SharedItem::updateLastRun, "second", {TrustedApplication::quarn}));
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("first")));
}

TEST_F(KeychainSharedItemsStorageTest, DeletingThenSavingReplacesTheValue) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "first", {}));
  EXPECT_TRUE(storage_.deleteItem(SharedItem::updateLastRun));
  EXPECT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "second", {}));
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("second")));
}

TEST_F(KeychainSharedItemsStorageTest, AKeyNeverSavedIsAbsentAndCannotBeDeleted) {
  EXPECT_EQ(storage_.readItem(SharedItem::fullScanStatus), std::nullopt);
  EXPECT_FALSE(storage_.deleteItem(SharedItem::fullScanStatus));

  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "1", {}));
  EXPECT_EQ(storage_.readItem(SharedItem::fullScanStatus), std::nullopt);
  EXPECT_FALSE(storage_.deleteItem(SharedItem::fullScanStatus));
}

TEST_F(KeychainSharedItemsStorageTest, ValidTextComesBackUnchanged) {
  const std::vector<std::string> values = {
      "",
      std::string("a\0b", 3),
      "\xf4\x8f\xbf\xbf",  // U+10FFFF
      "\xef\xbb\xbfmark",  // a byte-order mark that belongs to the value
      "\xf0\x9f\x98\x80 \xe2\x82\xac \xc2\xa9",
  };
  for (const std::string& value : values) {
    ASSERT_TRUE(storage_.saveItem(SharedItem::fullScanStatus, value, {})) << value;
    EXPECT_THAT(storage_.readItem(SharedItem::fullScanStatus), Optional(value)) << value;
    EXPECT_TRUE(storage_.deleteItem(SharedItem::fullScanStatus));
  }
}

const std::vector<std::string>& invalidUtf8() {
  static const std::vector<std::string> cases = {
      "\x80",                  // a lone continuation byte
      "ab\xc3",                // cut short
      "\xc0\x80",              // overlong NUL
      "\xe0\x80\xaf",          // overlong '/'
      "\xf0\x82\x82\xac",      // overlong euro sign
      "\xed\xa0\x80",          // a surrogate
      "\xf4\x90\x80\x80",      // above U+10FFFF
      "\xf8\x88\x80\x80\x80",  // a five-byte form
      "\xff",
  };
  return cases;
}

TEST_F(KeychainSharedItemsStorageTest, ATextThatIsNotUtf8IsRefusedWithoutTouchingTheStore) {
  for (const std::string& value : invalidUtf8()) {
    EXPECT_FALSE(storage_.saveItem(SharedItem::updateLastRun, value, {})) << value;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "store"));
}

TEST_F(KeychainSharedItemsStorageTest, BytesThatAreNotUtf8ReadAsAbsent) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::computerIsRegistered, "true", {}));
  for (const std::string& value : invalidUtf8()) {
    {
      RawDatabase raw(databasePath_);
      raw.insert("SharedAssetIdentifier", "Orvanta Forwarder", value);
    }
    EXPECT_EQ(storage_.readItem(SharedItem::assetIdentifier), std::nullopt);
    EXPECT_TRUE(storage_.deleteItem(SharedItem::assetIdentifier));
  }
}

TEST_F(KeychainSharedItemsStorageTest, AnItemOfAnotherServiceIsReadAndDeletedByAccount) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "1", {}));  // creates the table
  {
    RawDatabase raw(databasePath_);
    raw.insert("SharedAssetIdentifier", "Another Program", "asset-42");
  }
  EXPECT_THAT(storage_.readItem(SharedItem::assetIdentifier), Optional(std::string("asset-42")));
  EXPECT_FALSE(storage_.saveItem(SharedItem::assetIdentifier, "mine", {}));
  EXPECT_TRUE(storage_.deleteItem(SharedItem::assetIdentifier));
  EXPECT_EQ(storage_.readItem(SharedItem::assetIdentifier), std::nullopt);
  EXPECT_THAT(storedRows(), ElementsAre("UpdateLastRun|Orvanta Forwarder|Shared Item Access|[]|1"));
}

TEST_F(KeychainSharedItemsStorageTest, DeleteAllItemsRemovesOnlyTheForwardersService) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "1", {}));
  ASSERT_TRUE(storage_.saveItem(SharedItem::fullScanStatus, "2", {}));
  {
    RawDatabase raw(databasePath_);
    raw.insert("SharedAssetIdentifier", "Another Program", "3");
    raw.insert("ComputerIsRegistered", "Orvanta Forwarder Helper", "4");
    raw.insert("Unrelated", "ORVANTA FORWARDER", "5");
  }

  EXPECT_TRUE(storage_.deleteAllItems());

  EXPECT_EQ(storage_.readItem(SharedItem::updateLastRun), std::nullopt);
  EXPECT_EQ(storage_.readItem(SharedItem::fullScanStatus), std::nullopt);
  EXPECT_THAT(storage_.readItem(SharedItem::assetIdentifier), Optional(std::string("3")));
  EXPECT_THAT(storage_.readItem(SharedItem::computerIsRegistered), Optional(std::string("4")));
  EXPECT_EQ(storedRows().size(), 3u);
  EXPECT_FALSE(storage_.deleteAllItems());  // nothing of its own left
}

TEST_F(KeychainSharedItemsStorageTest, NoReferencableApplicationStillSavesWithAnEmptyList) {
  // None of the forwarder's application paths exists on this machine.
  ASSERT_TRUE(storage_.saveItem(
      SharedItem::updateLastRun, "1",
      {TrustedApplication::systemExtension, TrustedApplication::main, TrustedApplication::quarn}));
  EXPECT_THAT(storedRows(), ElementsAre("UpdateLastRun|Orvanta Forwarder|Shared Item Access|[]|1"));
}

TEST_F(KeychainSharedItemsStorageTest, TrustedApplicationsKeepTheRequestedOrderAndDropTheRest) {
  KeychainSharedItemsStorage storage(std::make_shared<KeychainWithApplications>(
      platform::makeSqliteKeychain(databasePath_),
      std::set<std::string>{std::string(kQuarnPath), std::string(kMainPath)}));

  ASSERT_TRUE(storage.saveItem(SharedItem::updateLastRun, "1",
                               {TrustedApplication::quarn, TrustedApplication::systemExtension,
                                TrustedApplication::main, TrustedApplication::quarn}));
  ASSERT_TRUE(storage.saveItem(SharedItem::fullScanStatus, "2", {}));

  EXPECT_THAT(storedRows(),
              ElementsAre("FullScanStatus|Orvanta Forwarder|Shared Item Access|[]|2",
                          "UpdateLastRun|Orvanta Forwarder|Shared Item Access|"
                          "[\"" +
                              std::string(kQuarnPath) + "\",\"" + std::string(kMainPath) + "\",\"" +
                              std::string(kQuarnPath) + "\"]|1"));
}

TEST_F(KeychainSharedItemsStorageTest, AStoreThatCannotBeUsedFailsEveryCall) {
  std::ofstream(dir_ / "plain-file") << "not a folder";
  KeychainSharedItemsStorage unusable(
      platform::makeSqliteKeychain(dir_ / "plain-file/store/shared-items.sqlite"));
  KeychainSharedItemsStorage withoutKeychain(nullptr);

  for (SharedItemsStorage* storage : {static_cast<SharedItemsStorage*>(&unusable),
                                      static_cast<SharedItemsStorage*>(&withoutKeychain)}) {
    EXPECT_FALSE(storage->saveItem(SharedItem::updateLastRun, "1", {TrustedApplication::quarn}));
    EXPECT_EQ(storage->readItem(SharedItem::updateLastRun), std::nullopt);
    EXPECT_FALSE(storage->deleteItem(SharedItem::updateLastRun));
    EXPECT_FALSE(storage->deleteAllItems());
  }
}

}  // namespace
}  // namespace quarn::storage
