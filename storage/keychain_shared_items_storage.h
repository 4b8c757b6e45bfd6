// KeychainSharedItemsStorage: the shared items kept as generic-password items
// in the keychain that the forwarder's processes share.
//
// Each item is saved under the service "Orvanta Forwarder" with the account
// set to the key's raw value, the access description "Shared Item Access",
// the paths of the requested trusted applications that the keychain can
// reference (in the order requested; the others are left out) and the value's
// UTF-8 bytes. Reads and deletions of one key select by account alone, so they
// also reach an item another process saved under another service;
// deleteAllItems removes only the items of "Orvanta Forwarder".
//
// The object keeps nothing between calls besides the keychain it was given.
// Calls block until the keychain answers; they may come from any thread the
// keychain allows (the SQLite keychain allows any). Failures are `false` or
// absent; nothing is logged or thrown.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keychain.h"
#include "storage/shared_items_storage.h"

namespace quarn::storage {

class KeychainSharedItemsStorage final : public SharedItemsStorage {
 public:
  static constexpr std::string_view kService = "Orvanta Forwarder";
  static constexpr std::string_view kAccessDescription = "Shared Item Access";

  // A null `keychain` makes every call fail.
  explicit KeychainSharedItemsStorage(std::shared_ptr<platform::Keychain> keychain);

  [[nodiscard]] bool saveItem(SharedItem key, std::string_view value,
                              const std::vector<TrustedApplication>& trustedApplications) override;
  [[nodiscard]] std::optional<std::string> readItem(SharedItem key) override;
  [[nodiscard]] bool deleteItem(SharedItem key) override;
  [[nodiscard]] bool deleteAllItems() override;

 private:
  const std::shared_ptr<platform::Keychain> keychain_;
};

}  // namespace quarn::storage
