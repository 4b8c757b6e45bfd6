#include "storage/keychain_shared_items_storage.h"

#include <gmock/gmock.h>

#include "tests/support/fake_keychain.h"

namespace quarn::storage {
namespace {

using ::testing::ElementsAre, ::testing::FieldsAre, ::testing::Key;

// Items are kept as UTF-8 under the forwarder's attributes, naming the
// applications that have a path the keychain can reference; deleting all items
// removes only the forwarder's service.
TEST(KeychainSharedItemsStorageTest, KeepsUtf8ItemsUnderTheForwardersAttributes) {
  const auto keychain = std::make_shared<testing::FakeKeychain>();
  keychain->applications = {"/quarn"};
  KeychainSharedItemsStorage storage(
      keychain, {.service = "Forwarder",
                 .accessDescription = "Shared Item Access",
                 .applicationPaths = {{TrustedApplication::systemExtension, "/extension"},
                                      {TrustedApplication::quarn, "/quarn"}}});
  EXPECT_FALSE(storage.saveItem(SharedItem::updateLastRun, "ab\xc3", {})) << "not UTF-8";
  EXPECT_TRUE(storage.saveItem(SharedItem::updateLastRun, "1.5",
                               {TrustedApplication::quarn, TrustedApplication::main,
                                TrustedApplication::systemExtension, TrustedApplication::quarn}));
  EXPECT_THAT(keychain->items.at("UpdateLastRun"),
              FieldsAre("UpdateLastRun", "Forwarder", "Shared Item Access",
                        ElementsAre("/quarn", "/quarn"), "1.5"));
  EXPECT_FALSE(storage.saveItem(SharedItem::updateLastRun, "2", {})) << "an item is only added";
  EXPECT_TRUE(storage.replaceItem(SharedItem::updateLastRun, "2", {}));
  EXPECT_EQ(storage.readItem(SharedItem::updateLastRun), "2");

  keychain->items["FullScanStatus"] = {"FullScanStatus", "Other", "", {}, "\xed\xa0\x80"};
  keychain->items["SharedAssetIdentifier"] = {"SharedAssetIdentifier", "Other", "", {}, "A1"};
  EXPECT_EQ(storage.readItem(SharedItem::fullScanStatus), std::nullopt) << "not UTF-8";
  EXPECT_TRUE(storage.deleteItem(SharedItem::fullScanStatus)) << "whatever the service";
  EXPECT_TRUE(storage.deleteAllItems());
  EXPECT_THAT(keychain->items, ElementsAre(Key("SharedAssetIdentifier")));

  keychain->fails = true;
  EXPECT_EQ(storage.readItem(SharedItem::assetIdentifier), std::nullopt);
}

}  // namespace
}  // namespace quarn::storage
