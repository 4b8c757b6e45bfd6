#include "storage/keychain_shared_items_storage.h"

#include <gmock/gmock.h>

namespace quarn::storage {
namespace {

using platform::KeychainCopyResult, platform::KeychainStatus;
using ::testing::ElementsAre, ::testing::FieldsAre, ::testing::Return, ::testing::ReturnArg;

struct MockKeychain : platform::Keychain {
  MOCK_METHOD(KeychainStatus, addItem, (const platform::GenericPasswordItem&), (override));
  MOCK_METHOD(KeychainStatus, replaceItem, (const platform::GenericPasswordItem&), (override));
  MOCK_METHOD(KeychainCopyResult, copyValue, (std::string_view), (override));
  MOCK_METHOD(KeychainStatus, deleteAccountItems, (std::string_view), (override));
  MOCK_METHOD(KeychainStatus, deleteServiceItems, (std::string_view), (override));
  MOCK_METHOD(std::optional<std::string>, createTrustedApplicationReference, (const std::string&),
              (override));
};

// Items are kept as UTF-8 under the forwarder's attributes, naming the
// applications that have a path; deleting all items removes only the
// forwarder's service.
TEST(KeychainSharedItemsStorageTest, KeepsUtf8ItemsUnderTheForwardersAttributes) {
  const auto keychain = std::make_shared<::testing::StrictMock<MockKeychain>>();
  KeychainSharedItemsStorage storage(
      keychain, {.service = "Forwarder",
                 .accessDescription = "Shared Item Access",
                 .applicationPaths = {{TrustedApplication::systemExtension, "/extension"},
                                      {TrustedApplication::quarn, "/quarn"}}});
  EXPECT_FALSE(storage.saveItem(SharedItem::updateLastRun, "ab\xc3", {}));
  EXPECT_CALL(*keychain, createTrustedApplicationReference).WillRepeatedly(ReturnArg<0>());
  EXPECT_CALL(*keychain, addItem(FieldsAre("UpdateLastRun", "Forwarder", "Shared Item Access",
                                           ElementsAre("/quarn", "/extension", "/quarn"), "1.5")))
      .WillOnce(Return(KeychainStatus::success));
  EXPECT_TRUE(storage.saveItem(SharedItem::updateLastRun, "1.5",
                               {TrustedApplication::quarn, TrustedApplication::main,
                                TrustedApplication::systemExtension, TrustedApplication::quarn}));

  EXPECT_CALL(*keychain, copyValue("FullScanStatus"))
      .WillOnce(Return(KeychainCopyResult{KeychainStatus::success, "\xed\xa0\x80"}));
  EXPECT_EQ(storage.readItem(SharedItem::fullScanStatus), std::nullopt) << "not UTF-8";
  EXPECT_CALL(*keychain, deleteServiceItems("Forwarder")).WillOnce(Return(KeychainStatus::success));
  EXPECT_TRUE(storage.deleteAllItems());
}

}  // namespace
}  // namespace quarn::storage
