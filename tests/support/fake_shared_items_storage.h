// FakeSharedItemsStorage: the shared items store in memory, with the store's
// add-only contract, and failures on cue.
#pragma once

#include <map>
#include <mutex>

#include "storage/shared_items_storage.h"

namespace quarn::testing {

class FakeSharedItemsStorage final : public storage::SharedItemsStorage {
 public:
  bool saveItem(storage::SharedItem key, std::string_view value,
                const std::vector<storage::TrustedApplication>& trustedApplications) override {
    std::lock_guard lock(mutex_);
    if (failing_ || items_.contains(key)) return false;
    items_[key] = std::string(value);
    trusted_[key] = trustedApplications;
    return true;
  }
  std::optional<std::string> readItem(storage::SharedItem key) override {
    std::lock_guard lock(mutex_);
    if (failing_ || !items_.contains(key)) return std::nullopt;
    return items_.at(key);
  }
  bool deleteItem(storage::SharedItem key) override {
    std::lock_guard lock(mutex_);
    return !failing_ && items_.erase(key) > 0;
  }
  bool deleteAllItems() override {
    std::lock_guard lock(mutex_);
    if (failing_) return false;
    items_.clear();
    return true;
  }

  // Test controls.
  void set(storage::SharedItem key, std::string value) {
    std::lock_guard lock(mutex_);
    items_[key] = std::move(value);
  }
  std::optional<std::string> get(storage::SharedItem key) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find(key);
    return it == items_.end() ? std::nullopt : std::optional(it->second);
  }
  std::vector<storage::TrustedApplication> trustedApplications(storage::SharedItem key) const {
    std::lock_guard lock(mutex_);
    auto it = trusted_.find(key);
    return it == trusted_.end() ? std::vector<storage::TrustedApplication>{} : it->second;
  }
  // While set, every operation fails.
  void setFailing(bool failing) {
    std::lock_guard lock(mutex_);
    failing_ = failing;
  }

 private:
  mutable std::mutex mutex_;
  std::map<storage::SharedItem, std::string> items_;
  std::map<storage::SharedItem, std::vector<storage::TrustedApplication>> trusted_;
  bool failing_ = false;
};

}  // namespace quarn::testing
