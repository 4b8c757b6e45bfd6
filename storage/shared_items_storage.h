// SharedItemsStorage: the small text values that the forwarder's processes
// share (registration state, scan state, asset identifier, time of the last
// update check).
//
// Operations are synchronous, never throw and never log: a failure of any kind
// is `false` or absent, and the caller cannot tell failures apart.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::storage {

// The key of an item; its raw value is the item's account name.
enum class SharedItem { computerIsRegistered, fullScanStatus, assetIdentifier, updateLastRun };

std::string_view rawValue(SharedItem item);

// The applications an item's access list may name.
enum class TrustedApplication { systemExtension, main, quarn };

class SharedItemsStorage {
 public:
  virtual ~SharedItemsStorage() = default;

  // Adds an item; false when an item for `key` exists already (the old value
  // stays), when `value` is not valid UTF-8, or when the store fails.
  [[nodiscard]] virtual bool saveItem(
      SharedItem key, std::string_view value,
      const std::vector<TrustedApplication>& trustedApplications) = 0;
  // Replaces the item of `key`, whatever service it was saved under, with one
  // made as saveItem makes it, in one step of the store: on failure (`value`
  // not valid UTF-8, the store refusing the removal or the addition) the old
  // item stays as it was.
  [[nodiscard]] virtual bool replaceItem(
      SharedItem key, std::string_view value,
      const std::vector<TrustedApplication>& trustedApplications) = 0;
  // The stored text; absent when there is no item, the read fails, or the
  // stored bytes are not valid UTF-8.
  [[nodiscard]] virtual std::optional<std::string> readItem(SharedItem key) = 0;
  // Removes the item of `key` whatever service it was saved under; false when
  // there was none or the store fails.
  [[nodiscard]] virtual bool deleteItem(SharedItem key) = 0;
  // Removes every item of this store's own service.
  [[nodiscard]] virtual bool deleteAllItems() = 0;
};

}  // namespace quarn::storage
