// MemoryKeychain: the shared keychain in memory, for tests of the logic above
// it. It keeps the store's contract: an addition fails on an existing account
// and leaves the old item; copies and deletions of one account select by
// account alone. Every application path can be referenced.
//
// Not thread-safe.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/keychain.h"

namespace quarn::testing {

class MemoryKeychain final : public platform::Keychain {
 public:
  using Status = platform::KeychainStatus;

  Status addItem(const platform::GenericPasswordItem& item) override {
    return items_.emplace(item.account, item).second ? Status::success : Status::duplicateItem;
  }
  platform::KeychainCopyResult copyValue(std::string_view account) override {
    const auto found = items_.find(std::string(account));
    if (found == items_.end()) return {Status::itemNotFound, {}};
    return {Status::success, found->second.value};
  }
  Status deleteAccountItems(std::string_view account) override {
    return items_.erase(std::string(account)) > 0 ? Status::success : Status::itemNotFound;
  }
  Status deleteServiceItems(std::string_view service) override {
    const auto erased =
        std::erase_if(items_, [&](const auto& entry) { return entry.second.service == service; });
    return erased > 0 ? Status::success : Status::itemNotFound;
  }
  std::optional<std::string> createTrustedApplicationReference(const std::string& path) override {
    return path;
  }

  // The stored item of `account`.
  std::optional<platform::GenericPasswordItem> item(const std::string& account) const {
    const auto found = items_.find(account);
    return found == items_.end() ? std::nullopt : std::optional(found->second);
  }

 private:
  std::map<std::string, platform::GenericPasswordItem> items_;
};

}  // namespace quarn::testing
