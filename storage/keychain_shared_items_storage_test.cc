#include "storage/keychain_shared_items_storage.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/memory_keychain.h"

namespace quarn::storage {
namespace {

using Texts = std::vector<std::string>;

// Items are kept as UTF-8 under the forwarder's attributes, naming the
// applications that have a path. Reads and deletions of one item select by its
// account alone, and deleting all items removes only the forwarder's service.
TEST(KeychainSharedItemsStorageTest, KeepsUtf8ItemsUnderTheForwardersAttributes) {
  const auto keychain = std::make_shared<testing::MemoryKeychain>();
  KeychainSharedItemsStorage storage(
      keychain, {.service = "Forwarder",
                 .accessDescription = "Shared Item Access",
                 .applicationPaths = {{TrustedApplication::systemExtension, "/extension"},
                                      {TrustedApplication::quarn, "/quarn"}}});
  EXPECT_FALSE(storage.saveItem(SharedItem::updateLastRun, "ab\xc3", {}));
  ASSERT_TRUE(storage.saveItem(SharedItem::updateLastRun, "1.5",
                               {TrustedApplication::quarn, TrustedApplication::main,
                                TrustedApplication::systemExtension, TrustedApplication::quarn}));
  const auto item = keychain->item("UpdateLastRun").value_or(platform::GenericPasswordItem());
  EXPECT_EQ(std::tie(item.service, item.accessDescription, item.value),
            std::tuple("Forwarder", "Shared Item Access", "1.5"));
  EXPECT_EQ(item.trustedApplications, (Texts{"/quarn", "/extension", "/quarn"}));

  ASSERT_EQ(keychain->addItem({"SharedAssetIdentifier", "Other", "", {}, "asset"}),
            platform::KeychainStatus::success);
  ASSERT_EQ(keychain->addItem({"FullScanStatus", "Forwarder", "", {}, "\xed\xa0\x80"}),
            platform::KeychainStatus::success);
  EXPECT_EQ(storage.readItem(SharedItem::fullScanStatus), std::nullopt) << "not UTF-8";
  EXPECT_TRUE(storage.deleteAllItems());
  EXPECT_FALSE(storage.deleteAllItems());
  EXPECT_EQ(storage.readItem(SharedItem::updateLastRun), std::nullopt);
  EXPECT_EQ(storage.readItem(SharedItem::assetIdentifier), "asset");
  EXPECT_TRUE(storage.deleteItem(SharedItem::assetIdentifier));
}

}  // namespace
}  // namespace quarn::storage
