#include "storage/keychain_shared_items_storage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/memory_log_sink.h"

namespace quarn::storage {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;

const std::string kApp = "/Applications/Orvanta Forwarder.app";
const std::string kSystemExtension =
    kApp + "/Contents/Library/SystemExtensions/com.kelvane.Orvanta.ProcessMonitor.systemextension";
const std::string kQuarn = kApp + "/Contents/MacOS/quarn.app";
const KeychainItemAttributes kAttributes{
    .service = "Orvanta Forwarder",
    .accessDescription = "Shared Item Access",
    .applicationPaths = {{TrustedApplication::systemExtension, kSystemExtension},
                         {TrustedApplication::main, kApp},
                         {TrustedApplication::quarn, kQuarn}},
};

// The SQLite keychain, except that applications (and so references to them)
// exist only at the system extension's and quarn's paths; records the items
// added and the paths asked for.
class RecordingKeychain final : public platform::Keychain {
 public:
  explicit RecordingKeychain(std::shared_ptr<platform::Keychain> store)
      : store_(std::move(store)) {}

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
    asked.push_back(path);
    if (path != kSystemExtension && path != kQuarn) return std::nullopt;
    return "ref:" + path;
  }

  std::vector<platform::GenericPasswordItem> added;
  std::vector<std::string> asked;

 private:
  const std::shared_ptr<platform::Keychain> store_;
};

TEST(KeychainSharedItemsStorageTest, KeepsUtf8ItemsUnderTheForwardersAttributes) {
  char folder[] = "/tmp/quarn-storage-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  // The store's failures are logged, and tested, below the storage.
  const auto store = platform::makeSqliteKeychain(
      std::string(folder) + "/store/items.sqlite",
      platform::Logger("com.kelvane.Orvanta.quarn", "Shared Items Storage",
                       std::make_shared<quarn::testing::MemoryLogSink>()));
  const auto keychain = std::make_shared<RecordingKeychain>(store);
  KeychainSharedItemsStorage storage(keychain, kAttributes);

  // Bytes that are not UTF-8 are refused before the keychain is asked.
  EXPECT_FALSE(storage.saveItem(SharedItem::updateLastRun, "ab\xc3", {TrustedApplication::quarn}));
  EXPECT_TRUE(keychain->added.empty() && keychain->asked.empty());
  // Applications that do not exist are left out; order and repeats are kept.
  const std::string value("a\0\xf4\x8f\xbf\xbf", 6);
  ASSERT_TRUE(storage.saveItem(SharedItem::updateLastRun, value,
                               {TrustedApplication::quarn, TrustedApplication::main,
                                TrustedApplication::systemExtension, TrustedApplication::quarn}));
  EXPECT_THAT(keychain->asked, ElementsAre(kQuarn, kApp, kSystemExtension, kQuarn));
  const platform::GenericPasswordItem& item = keychain->added.back();
  EXPECT_EQ(std::tie(item.account, item.service, item.accessDescription),
            std::tuple("UpdateLastRun", "Orvanta Forwarder", "Shared Item Access"));
  EXPECT_THAT(item.trustedApplications,
              ElementsAre("ref:" + kQuarn, "ref:" + kSystemExtension, "ref:" + kQuarn));
  EXPECT_THAT(storage.readItem(SharedItem::updateLastRun), Optional(value));
  // Saving never replaces: a second save fails and keeps the first value.
  EXPECT_FALSE(storage.saveItem(SharedItem::updateLastRun, "second", {}));
  EXPECT_THAT(storage.readItem(SharedItem::updateLastRun), Optional(value));
  EXPECT_TRUE(storage.deleteItem(SharedItem::updateLastRun));
  EXPECT_FALSE(storage.deleteItem(SharedItem::updateLastRun));
  EXPECT_EQ(storage.readItem(SharedItem::updateLastRun), std::nullopt);

  // One key's item is found by its exact account whatever its service;
  // deleteAllItems removes only the items of the forwarder's service.
  for (const auto& [account, service, text] :
       {std::tuple("SharedAssetIdentifier", "Another Program", "asset-42"),
        std::tuple("ComputerIsRegistered", "Orvanta Forwarder", ""),
        std::tuple("FullScanStatus", "Orvanta Forwarder", "\xed\xa0\x80"),  // not UTF-8
        std::tuple("updatelastrun", "Orvanta Forwarder", "other case")}) {
    ASSERT_EQ(store->addItem({account, service, "Elsewhere", {}, text}),
              platform::KeychainStatus::success);
  }
  EXPECT_THAT(storage.readItem(SharedItem::computerIsRegistered), Optional(std::string()));
  EXPECT_EQ(storage.readItem(SharedItem::fullScanStatus), std::nullopt);
  EXPECT_EQ(storage.readItem(SharedItem::updateLastRun), std::nullopt);
  EXPECT_FALSE(storage.saveItem(SharedItem::assetIdentifier, "mine", {}));
  EXPECT_TRUE(storage.deleteAllItems());
  EXPECT_FALSE(storage.deleteAllItems());  // nothing of its own left
  EXPECT_EQ(storage.readItem(SharedItem::computerIsRegistered), std::nullopt);
  EXPECT_THAT(storage.readItem(SharedItem::assetIdentifier), Optional(std::string("asset-42")));
  EXPECT_TRUE(storage.deleteItem(SharedItem::assetIdentifier));
  EXPECT_EQ(storage.readItem(SharedItem::assetIdentifier), std::nullopt);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quarn::storage
