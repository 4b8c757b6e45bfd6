#include "storage/keychain_shared_items_storage.h"

#include <utility>

#include "platform/text.h"

namespace quarn::storage {

KeychainSharedItemsStorage::KeychainSharedItemsStorage(std::shared_ptr<platform::Keychain> keychain)
    : keychain_(std::move(keychain)) {}

bool KeychainSharedItemsStorage::saveItem(
    SharedItem key, std::string_view value,
    const std::vector<TrustedApplication>& trustedApplications) {
  // The value goes in as UTF-8 bytes unchanged; bytes that are not UTF-8 are
  // refused before the keychain is touched.
  if (!keychain_ || !platform::isValidUtf8(value)) return false;

  platform::GenericPasswordItem item;
  item.account = std::string(rawValue(key));
  item.service = std::string(kService);
  item.accessDescription = std::string(kAccessDescription);
  for (TrustedApplication application : trustedApplications) {
    if (std::optional<std::string> reference = keychain_->createTrustedApplicationReference(
            std::string(applicationPath(application)))) {
      item.trustedApplications.push_back(std::move(*reference));
    }
  }
  item.value = std::string(value);
  return keychain_->addItem(item) == platform::KeychainStatus::success;
}

std::optional<std::string> KeychainSharedItemsStorage::readItem(SharedItem key) {
  if (!keychain_) return std::nullopt;
  platform::KeychainCopyResult result = keychain_->copyValue(rawValue(key));
  if (result.status != platform::KeychainStatus::success || !platform::isValidUtf8(result.value)) {
    return std::nullopt;
  }
  return std::move(result.value);
}

bool KeychainSharedItemsStorage::deleteItem(SharedItem key) {
  return keychain_ &&
         keychain_->deleteAccountItems(rawValue(key)) == platform::KeychainStatus::success;
}

bool KeychainSharedItemsStorage::deleteAllItems() {
  return keychain_ && keychain_->deleteServiceItems(kService) == platform::KeychainStatus::success;
}

}  // namespace quarn::storage
