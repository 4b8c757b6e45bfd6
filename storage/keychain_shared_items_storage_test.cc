#include "storage/keychain_shared_items_storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/memory_log_sink.h"

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

TEST(SharedItemTest, RawValuesAreTheAccountNamesAndOnlyExactOnesMakeAKey) {
  const std::pair<SharedItem, std::string_view> items[] = {
      {SharedItem::computerIsRegistered, "ComputerIsRegistered"},
      {SharedItem::fullScanStatus, "FullScanStatus"},
      {SharedItem::assetIdentifier, "SharedAssetIdentifier"},
      {SharedItem::updateLastRun, "UpdateLastRun"},
  };
  for (const auto& [item, raw] : items) {
    EXPECT_EQ(rawValue(item), raw);
    EXPECT_THAT(sharedItemFromRawValue(raw), Optional(item)) << raw;
  }
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

// The SQLite keychain, except that trusted-application references succeed
// exactly for the paths in `existing` (the forwarder's paths do not exist on a
// test machine); keeps every item it was asked to add.
class KeychainWithApplications final : public platform::Keychain {
 public:
  KeychainWithApplications(std::shared_ptr<platform::Keychain> store,
                           std::set<std::string> existing)
      : store_(std::move(store)), existing_(std::move(existing)) {}

  platform::KeychainStatus addItem(const platform::GenericPasswordItem& item) override {
    added.push_back(item);
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

  std::vector<platform::GenericPasswordItem> added;

 private:
  const std::shared_ptr<platform::Keychain> store_;
  const std::set<std::string> existing_;
};

// Makes a temporary folder before anything is built in it.
std::string makeTemporaryFolder() {
  char pattern[] = "/tmp/quarn-storage-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  return pattern;
}

class KeychainSharedItemsStorageTest : public ::testing::Test {
 protected:
  ~KeychainSharedItemsStorageTest() override { std::filesystem::remove_all(dir_); }

  // An item that another program added.
  void addForeign(std::string account, std::string service, std::string value) {
    ASSERT_EQ(store_->addItem(
                  {std::move(account), std::move(service), "Elsewhere", {}, std::move(value)}),
              platform::KeychainStatus::success);
  }
  // The bytes the store holds under `account`, or "absent".
  std::string stored(std::string_view account) {
    const platform::KeychainCopyResult result = store_->copyValue(account);
    return result.status == platform::KeychainStatus::success ? result.value : "absent";
  }

  const std::string dir_ = makeTemporaryFolder();
  // The store's failures are logged, and tested, below the storage.
  const platform::Logger storeLogger_{"com.kelvane.Orvanta.quarn", "Shared Items Storage",
                                      std::make_shared<testing::MemoryLogSink>()};
  const std::shared_ptr<platform::Keychain> store_ =
      platform::makeSqliteKeychain(dir_ + "/store/shared-items.sqlite", storeLogger_);
  const std::shared_ptr<KeychainWithApplications> keychain_ =
      std::make_shared<KeychainWithApplications>(
          store_, std::set<std::string>{std::string(kQuarnPath), std::string(kMainPath)});
  KeychainSharedItemsStorage storage_{keychain_};
};

TEST_F(KeychainSharedItemsStorageTest, SavesOneItemPerKeyWithTheForwardersAttributes) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "1700000000.5",
                                {TrustedApplication::quarn, TrustedApplication::systemExtension,
                                 TrustedApplication::main, TrustedApplication::quarn}));
  // No application that can be referenced: saved with an empty list.
  ASSERT_TRUE(storage_.saveItem(SharedItem::assetIdentifier, "asset-\xc3\xa9",
                                {TrustedApplication::systemExtension}));

  ASSERT_EQ(keychain_->added.size(), 2u);
  for (const platform::GenericPasswordItem& item : keychain_->added) {
    EXPECT_EQ(item.service, "Orvanta Forwarder");
    EXPECT_EQ(item.accessDescription, "Shared Item Access");
  }
  EXPECT_EQ(keychain_->added[0].account, "UpdateLastRun");
  EXPECT_EQ(keychain_->added[0].value, "1700000000.5");
  EXPECT_THAT(keychain_->added[0].trustedApplications,
              ElementsAre(kQuarnPath, kMainPath, kQuarnPath));
  EXPECT_EQ(keychain_->added[1].account, "SharedAssetIdentifier");
  EXPECT_EQ(keychain_->added[1].value, "asset-\xc3\xa9");
  EXPECT_THAT(keychain_->added[1].trustedApplications, IsEmpty());
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("1700000000.5")));
  EXPECT_THAT(storage_.readItem(SharedItem::assetIdentifier),
              Optional(std::string("asset-\xc3\xa9")));
}

TEST_F(KeychainSharedItemsStorageTest, SavingOnlyAddsSoReplacingIsDeleteThenSave) {
  EXPECT_EQ(storage_.readItem(SharedItem::updateLastRun), std::nullopt);
  EXPECT_FALSE(storage_.deleteItem(SharedItem::updateLastRun));

  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "first", {TrustedApplication::quarn}));
  EXPECT_FALSE(storage_.saveItem(SharedItem::updateLastRun, "second", {TrustedApplication::quarn}));
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("first")));
  EXPECT_EQ(storage_.readItem(SharedItem::fullScanStatus), std::nullopt);
  EXPECT_FALSE(storage_.deleteItem(SharedItem::fullScanStatus));

  EXPECT_TRUE(storage_.deleteItem(SharedItem::updateLastRun));
  EXPECT_FALSE(storage_.deleteItem(SharedItem::updateLastRun));
  EXPECT_EQ(storage_.readItem(SharedItem::updateLastRun), std::nullopt);
  EXPECT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "second", {}));
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("second")));
}

TEST_F(KeychainSharedItemsStorageTest, ValidTextComesBackUnchanged) {
  const std::string values[] = {
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

TEST_F(KeychainSharedItemsStorageTest, BytesThatAreNotUtf8AreNeitherSavedNorRead) {
  const std::string invalid[] = {
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
  for (const std::string& value : invalid) {
    EXPECT_FALSE(storage_.saveItem(SharedItem::updateLastRun, value, {TrustedApplication::quarn}))
        << value;
  }
  EXPECT_TRUE(keychain_->added.empty()) << "the keychain was not asked";

  for (const std::string& value : invalid) {
    addForeign("SharedAssetIdentifier", "Orvanta Forwarder", value);
    EXPECT_EQ(storage_.readItem(SharedItem::assetIdentifier), std::nullopt) << value;
    EXPECT_TRUE(storage_.deleteItem(SharedItem::assetIdentifier));
  }
}

TEST_F(KeychainSharedItemsStorageTest, ReadsAndDeletesSelectByTheExactAccountWhateverTheService) {
  addForeign("SharedAssetIdentifier", "Another Program", "asset-42");
  addForeign("updatelastrun", "Orvanta Forwarder", "other case");

  EXPECT_THAT(storage_.readItem(SharedItem::assetIdentifier), Optional(std::string("asset-42")));
  EXPECT_FALSE(storage_.saveItem(SharedItem::assetIdentifier, "mine", {}));
  EXPECT_THAT(storage_.readItem(SharedItem::assetIdentifier), Optional(std::string("asset-42")));
  EXPECT_TRUE(storage_.deleteItem(SharedItem::assetIdentifier));
  EXPECT_EQ(storage_.readItem(SharedItem::assetIdentifier), std::nullopt);

  EXPECT_EQ(storage_.readItem(SharedItem::updateLastRun), std::nullopt);
  EXPECT_FALSE(storage_.deleteItem(SharedItem::updateLastRun));
  EXPECT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "mine", {}));
  EXPECT_THAT(storage_.readItem(SharedItem::updateLastRun), Optional(std::string("mine")));
  EXPECT_EQ(stored("updatelastrun"), "other case");
}

TEST_F(KeychainSharedItemsStorageTest, DeleteAllItemsRemovesOnlyTheForwardersService) {
  ASSERT_TRUE(storage_.saveItem(SharedItem::updateLastRun, "1", {}));
  ASSERT_TRUE(storage_.saveItem(SharedItem::fullScanStatus, "2", {}));
  addForeign("SharedAssetIdentifier", "Another Program", "3");
  addForeign("ComputerIsRegistered", "Orvanta Forwarder Helper", "4");
  addForeign("Unrelated", "ORVANTA FORWARDER", "5");

  EXPECT_TRUE(storage_.deleteAllItems());

  const std::vector<std::string> left = {stored("UpdateLastRun"), stored("FullScanStatus"),
                                         stored("SharedAssetIdentifier"),
                                         stored("ComputerIsRegistered"), stored("Unrelated")};
  EXPECT_THAT(left, ElementsAre("absent", "absent", "3", "4", "5"));
  EXPECT_FALSE(storage_.deleteAllItems());  // nothing of its own left
}

TEST_F(KeychainSharedItemsStorageTest, AStoreThatCannotBeUsedFailsEveryCall) {
  std::ofstream(dir_ + "/plain-file") << "not a folder";
  KeychainSharedItemsStorage unusable(
      platform::makeSqliteKeychain(dir_ + "/plain-file/store/shared-items.sqlite", storeLogger_));
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
