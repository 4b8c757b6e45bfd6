// The shared items as keychain items: each key's raw value is the account,
// every item carries the forwarder's service, access description and the
// paths of the applications trusted to use it.
#include "storage/keychain_shared_items_storage.h"

#include <utility>

#include "platform/text.h"

namespace quarn::storage {

KeychainSharedItemsStorage::KeychainSharedItemsStorage(std::shared_ptr<platform::Keychain> keychain,
                                                       KeychainItemAttributes attributes)
    : keychain_(std::move(keychain)), attributes_(std::move(attributes)) {}

std::optional<platform::GenericPasswordItem> KeychainSharedItemsStorage::makeItem(
    SharedItem key, std::string_view value,
    const std::vector<TrustedApplication>& trustedApplications) {
  // The value goes in as UTF-8 bytes unchanged; bytes that are not UTF-8 are
  // refused before the keychain is touched.
  if (!keychain_ || !platform::isValidUtf8(value)) return std::nullopt;

  platform::GenericPasswordItem item;
  item.account = std::string(rawValue(key));
  item.service = attributes_.service;
  item.accessDescription = attributes_.accessDescription;
  for (TrustedApplication application : trustedApplications) {
    const auto path = attributes_.applicationPaths.find(application);
    if (path == attributes_.applicationPaths.end()) continue;
    if (std::optional<std::string> reference =
            keychain_->createTrustedApplicationReference(path->second)) {
      item.trustedApplications.push_back(std::move(*reference));
    }
  }
  item.value = std::string(value);
  return item;
}

bool KeychainSharedItemsStorage::saveItem(
    SharedItem key, std::string_view value,
    const std::vector<TrustedApplication>& trustedApplications) {
  const auto item = makeItem(key, value, trustedApplications);
  return item && keychain_->addItem(*item) == platform::KeychainStatus::success;
}

bool KeychainSharedItemsStorage::replaceItem(
    SharedItem key, std::string_view value,
    const std::vector<TrustedApplication>& trustedApplications) {
  const auto item = makeItem(key, value, trustedApplications);
  return item && keychain_->replaceItem(*item) == platform::KeychainStatus::success;
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
  return keychain_ &&
         keychain_->deleteServiceItems(attributes_.service) == platform::KeychainStatus::success;
}

}  // namespace quarn::storage
