// FakeKeychain: an in-memory Keychain for tests of the storage above it.
//
// `items` holds every item as it was given, by account; tests may read and
// change it directly. A trusted-application reference is the path itself, for
// the paths in `applications`. While `fails` is set, every call answers
// `failure` (or no reference) and changes nothing.
//
// Not thread-safe.
#pragma once

#include <map>
#include <set>

#include "platform/keychain.h"

namespace quarn::testing {

class FakeKeychain final : public platform::Keychain {
 public:
  using Status = platform::KeychainStatus;

  Status addItem(const platform::GenericPasswordItem& item) override {
    if (fails) return Status::failure;
    return items.try_emplace(item.account, item).second ? Status::success : Status::duplicateItem;
  }
  Status replaceItem(const platform::GenericPasswordItem& item) override {
    if (!fails) items[item.account] = item;
    return fails ? Status::failure : Status::success;
  }
  platform::KeychainCopyResult copyValue(std::string_view account) override {
    const auto item = items.find(std::string(account));
    if (fails || item == items.end()) return {fails ? Status::failure : Status::itemNotFound, ""};
    return {Status::success, item->second.value};
  }
  Status deleteAccountItems(std::string_view account) override {
    return removed(fails ? 0 : items.erase(std::string(account)));
  }
  Status deleteServiceItems(std::string_view service) override {
    return removed(std::erase_if(
        items, [&](const auto& item) { return !fails && item.second.service == service; }));
  }
  std::optional<std::string> createTrustedApplicationReference(const std::string& path) override {
    return fails || !applications.contains(path) ? std::nullopt : std::optional(path);
  }

  std::map<std::string, platform::GenericPasswordItem> items;
  std::set<std::string> applications;
  bool fails = false;

 private:
  Status removed(std::size_t count) const {
    return fails ? Status::failure : count > 0 ? Status::success : Status::itemNotFound;
  }
};

}  // namespace quarn::testing
