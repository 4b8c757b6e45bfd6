// Keychain: the generic-password items that the forwarder's processes share.
//
// An item has an account (unique in the store), a service, an access
// description, the paths of the applications trusted to use it (in the order
// given) and a value (raw bytes). Additions fail on an existing account and
// leave the stored item as it was; copies and deletions select by account
// alone, whatever service the item was saved under, or by service alone.
//
// The Linux implementation keeps the items in one SQLite database that other
// processes open too, so its table is an external interface, written out once
// below (kCreateGenericPasswordsTable).
//
// Each call opens the database afresh, waits up to the busy time-out for
// another process that holds it, and is one transaction, so a call sees and
// leaves the store whole. Only an addition or a replacement creates anything:
// the database's folder (mode 0700) and file (mode 0600) when missing, and the
// table. A store that cannot be used (a folder that cannot be created, a file
// that is not a database, a table of another shape, a lock held past the
// time-out, no write permission) gives `failure`; such a file is never
// rewritten, truncated or removed, and a table of another shape is never
// altered. Each failure logs one record on the keychain's logger: the store's
// path, the operation, the step that failed and SQLite's (or the system's)
// text. Finding nothing (`itemNotFound`) and a duplicate addition are answers,
// not failures, and log nothing.
//
// Threads: the object holds only its path and time-out, so any thread may call
// it, also concurrently. Calls block until the store answers.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/logger.h"

namespace quarn::platform {

// The table of the SQLite keychain, as it creates it in a store that lacks
// it; SQLite keeps the text, column comments included, as the table's schema.
// The forwarder's other processes read and write the same table, so this is
// its one definition: a table of any other shape is refused, never altered.
// The accounts are the raw values of the shared item keys
// (ComputerIsRegistered, FullScanStatus, SharedAssetIdentifier,
// UpdateLastRun), compared byte for byte.
inline constexpr char kCreateGenericPasswordsTable[] =
    R"sql(CREATE TABLE IF NOT EXISTS generic_passwords (
  account              TEXT PRIMARY KEY NOT NULL,  -- the key's raw value
  service              TEXT NOT NULL,              -- "Orvanta Forwarder"
  access_description   TEXT NOT NULL,              -- "Shared Item Access"
  trusted_applications TEXT NOT NULL,              -- JSON array of application paths, in order
  value                BLOB NOT NULL               -- UTF-8 bytes, no terminator
) STRICT)sql";

enum class KeychainStatus {
  success,
  duplicateItem,  // an addition found an item with that account
  itemNotFound,   // nothing matched a copy or a deletion
  failure,        // the store could not be used; see the header comment
};

struct GenericPasswordItem {
  std::string account;
  std::string service;
  std::string accessDescription;
  std::vector<std::string> trustedApplications;  // paths, in order, duplicates kept
  std::string value;                             // raw bytes
};

struct KeychainCopyResult {
  KeychainStatus status = KeychainStatus::failure;
  std::string value;  // the item's bytes when `status` is success, else empty
};

class Keychain {
 public:
  virtual ~Keychain() = default;

  // Adds `item`; `duplicateItem` when an item with its account exists.
  [[nodiscard]] virtual KeychainStatus addItem(const GenericPasswordItem& item) = 0;
  // Removes the item with `item.account`, whatever its service, and adds
  // `item`, both in one transaction: the store ends up with the new item, or
  // on failure exactly as it was. `success` also when there was no old item.
  [[nodiscard]] virtual KeychainStatus replaceItem(const GenericPasswordItem& item) = 0;
  // The value of the item with `account`, whatever its service.
  [[nodiscard]] virtual KeychainCopyResult copyValue(std::string_view account) = 0;
  // Removes the item with `account`, whatever its service.
  [[nodiscard]] virtual KeychainStatus deleteAccountItems(std::string_view account) = 0;
  // Removes every item of `service`, and nothing else.
  [[nodiscard]] virtual KeychainStatus deleteServiceItems(std::string_view service) = 0;
  // A trusted-application reference for the application at `path`, to be
  // listed in an item's trusted applications; absent when no application is
  // there (on Linux: when stat(2) of the path fails).
  [[nodiscard]] virtual std::optional<std::string> createTrustedApplicationReference(
      const std::string& path) = 0;
};

// A keychain kept in the SQLite database at `databasePath`, logging its
// failures on `logger`. Nothing is touched until the first call.
std::shared_ptr<Keychain> makeSqliteKeychain(
    std::string databasePath, Logger logger,
    std::chrono::milliseconds busyTimeout = std::chrono::seconds(5));

}  // namespace quarn::platform
