// KeychainSharedItemsStorage: the shared items kept as generic-password items
// in the keychain that the forwarder's processes share.
//
// Each item is saved under the forwarder's service with the account set to
// the key's raw value, the forwarder's access description, the paths of the
// requested trusted applications that the keychain can reference (in the order
// requested; the others are left out) and the value's UTF-8 bytes. Reads,
// deletions and replacements of one key select by account alone, so they also
// reach an item another process saved under another service; deleteAllItems
// removes only the items of the forwarder's service. A replacement is one
// transaction of the keychain.
//
// The object keeps nothing between calls besides the keychain it was given.
// Calls block until the keychain answers; they may come from any thread the
// keychain allows (the SQLite keychain allows any). Failures are `false` or
// absent; nothing is logged or thrown.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keychain.h"
#include "storage/shared_items_storage.h"

namespace quarn::storage {

// What every saved item carries besides its account and value.
struct KeychainItemAttributes {
  std::string service;
  std::string accessDescription;
  // The path of each application an access list may name; an application
  // without a path is left out of the list.
  std::map<TrustedApplication, std::string> applicationPaths;
};

class KeychainSharedItemsStorage final : public SharedItemsStorage {
 public:
  // A null `keychain` makes every call fail.
  KeychainSharedItemsStorage(std::shared_ptr<platform::Keychain> keychain,
                             KeychainItemAttributes attributes);

  [[nodiscard]] bool saveItem(SharedItem key, std::string_view value,
                              const std::vector<TrustedApplication>& trustedApplications) override;
  [[nodiscard]] bool replaceItem(
      SharedItem key, std::string_view value,
      const std::vector<TrustedApplication>& trustedApplications) override;
  [[nodiscard]] std::optional<std::string> readItem(SharedItem key) override;
  [[nodiscard]] bool deleteItem(SharedItem key) override;
  [[nodiscard]] bool deleteAllItems() override;

 private:
  // The item that saveItem and replaceItem write; absent without a keychain
  // or when `value` is not valid UTF-8.
  std::optional<platform::GenericPasswordItem> makeItem(
      SharedItem key, std::string_view value,
      const std::vector<TrustedApplication>& trustedApplications);

  const std::shared_ptr<platform::Keychain> keychain_;
  const KeychainItemAttributes attributes_;
};

}  // namespace quarn::storage
