// The keychain on SQLite: one database file shared with other processes.
//
// Every call opens its own connection and runs as one transaction. Writers
// take the write lock up front (BEGIN IMMEDIATE) so two processes never both
// read, then fail to upgrade; readers take a deferred transaction so a store
// that this process may only read can still be read. Every connection waits up
// to the busy time-out for a lock another connection holds.
//
// A call that fails logs one record: which operation, the step that failed
// and why (SQLite's or the system's text). Finding nothing is no failure.

#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <utility>

#include "platform/keychain.h"

namespace quarn::platform {
namespace {

constexpr std::string_view kDeleteAccount =
    "DELETE FROM main.generic_passwords WHERE account = ?1 COLLATE BINARY";

struct ColumnShape {
  const char* name;
  const char* type;
  bool primaryKey;
};

constexpr ColumnShape kColumns[] = {
    {"account", "TEXT", true},
    {"service", "TEXT", false},
    {"access_description", "TEXT", false},
    {"trusted_applications", "TEXT", false},
    {"value", "BLOB", false},
};

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Why a call failed: the step, and SQLite's or the system's text.
struct Failure {
  std::string step;
  std::string reason;
};

KeychainStatus failed(Failure& failure, std::string_view step, std::string reason) {
  failure = Failure{std::string(step), std::move(reason)};
  return KeychainStatus::failure;
}

// For a step that SQLite refused on `db`: its text for the last error.
KeychainStatus failed(Failure& failure, std::string_view step, sqlite3* db) {
  return failed(failure, step, sqlite3_errmsg(db));
}

std::string systemErrorText(int error) { return std::system_category().message(error); }

Statement prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return Statement(statement);
}

// SQLite binds a null data pointer as NULL, and an empty string_view may have
// one; empty text and empty bytes are bound from a real pointer.
bool bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  const char* data = text.empty() ? "" : text.data();
  return sqlite3_bind_text64(statement, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8) ==
         SQLITE_OK;
}

bool bindBlob(sqlite3_stmt* statement, int index, std::string_view bytes) {
  if (bytes.empty()) return sqlite3_bind_zeroblob(statement, index, 0) == SQLITE_OK;
  return sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC) ==
         SQLITE_OK;
}

bool equalsIgnoringCase(const unsigned char* text, const char* expected) {
  return text != nullptr && strcasecmp(reinterpret_cast<const char*>(text), expected) == 0;
}

// Rolls back whatever is still open when it goes out of scope, so an early
// return never leaves a half-done transaction or a held lock behind.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  [[nodiscard]] bool begin(bool forWriting) {
    const char* sql = forWriting ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED";
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  [[nodiscard]] bool commit() {
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* const db_;
};

enum class TableState { missing, usable, unusable };

// Whether `generic_passwords` is there with exactly the shape of
// kCreateGenericPasswordsTable (keychain.h), as kColumns lists it: a STRICT
// table, the five columns in order with their types and NOT NULL, `account`
// its primary key with binary (exact) comparison. Anything else, including an
// unreadable file, is unusable, and `failure` says why.
TableState inspectTable(sqlite3* db, Failure& failure) {
  constexpr std::string_view kStep = "check the table";
  const auto unreadable = [&] {
    failed(failure, kStep, db);
    return TableState::unusable;
  };
  const auto otherShape = [&] {
    failed(failure, kStep, "the table generic_passwords has another shape");
    return TableState::unusable;
  };
  Statement list = prepare(db,
                           "SELECT type, strict FROM pragma_table_list "
                           "WHERE schema = 'main' AND name = 'generic_passwords' COLLATE NOCASE");
  if (!list) return unreadable();
  int rc = sqlite3_step(list.get());
  if (rc == SQLITE_DONE) return TableState::missing;
  if (rc != SQLITE_ROW) return unreadable();
  if (!equalsIgnoringCase(sqlite3_column_text(list.get(), 0), "table") ||
      sqlite3_column_int(list.get(), 1) != 1) {
    return otherShape();
  }

  Statement columns = prepare(db,
                              "SELECT name, type, \"notnull\", pk "
                              "FROM pragma_table_info('generic_passwords', 'main') ORDER BY cid");
  if (!columns) return unreadable();
  for (const ColumnShape& expected : kColumns) {
    if (sqlite3_step(columns.get()) != SQLITE_ROW ||
        !equalsIgnoringCase(sqlite3_column_text(columns.get(), 0), expected.name) ||
        !equalsIgnoringCase(sqlite3_column_text(columns.get(), 1), expected.type) ||
        sqlite3_column_int(columns.get(), 2) != 1 ||
        (sqlite3_column_int(columns.get(), 3) != 0) != expected.primaryKey) {
      return otherShape();
    }
  }
  if (sqlite3_step(columns.get()) != SQLITE_DONE) return otherShape();

  // The primary key's index decides what counts as a duplicate account.
  Statement key = prepare(db,
                          "SELECT x.coll FROM pragma_index_list('generic_passwords', 'main') AS l, "
                          "pragma_index_xinfo(l.name, 'main') AS x "
                          "WHERE l.origin = 'pk' AND l.\"unique\" = 1 AND x.key = 1");
  if (!key) return unreadable();
  if (sqlite3_step(key.get()) != SQLITE_ROW ||
      !equalsIgnoringCase(sqlite3_column_text(key.get(), 0), "BINARY") ||
      sqlite3_step(key.get()) != SQLITE_DONE) {
    return otherShape();
  }
  return TableState::usable;
}

// Creates `directory` and its missing ancestors; each folder made here gets
// mode 0700 whatever the umask is. Returns 0, or the error number when a
// component is not a folder (ENOTDIR) or cannot be made.
int ensureDirectory(const std::filesystem::path& directory) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) == 0) return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  const std::filesystem::path parent = directory.parent_path();
  if (!parent.empty() && parent != directory) {
    if (const int error = ensureDirectory(parent); error != 0) return error;
  }
  if (::mkdir(directory.c_str(), 0700) != 0) {
    // Another process may have made it in the meantime.
    const int error = errno;
    if (error != EEXIST) return error;
    if (::stat(directory.c_str(), &status) != 0) return errno;
    return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
  }
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fchmod(fd, 0700) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

enum class FilePresence { present, missing, unusable };

class SqliteKeychain final : public Keychain {
 public:
  SqliteKeychain(std::string databasePath, Logger logger, std::chrono::milliseconds busyTimeout)
      : databasePath_(std::move(databasePath)),
        logger_(std::move(logger)),
        busyTimeoutMs_(static_cast<int>(
            std::clamp<std::chrono::milliseconds::rep>(busyTimeout.count(), 0, INT_MAX))) {}

  KeychainStatus addItem(const GenericPasswordItem& item) override {
    Failure failure;
    return logged("add an item", add(item, /*replacing=*/false, failure), failure);
  }

  KeychainStatus replaceItem(const GenericPasswordItem& item) override {
    Failure failure;
    return logged("replace an item", add(item, /*replacing=*/true, failure), failure);
  }

  KeychainCopyResult copyValue(std::string_view account) override {
    Failure failure;
    KeychainCopyResult result;
    const KeychainStatus status = inExistingTable(/*forWriting=*/false, failure, [&](sqlite3* db) {
      result = selectValue(db, account, failure);
      return result.status;
    });
    if (logged("read an item", status, failure) != KeychainStatus::success) {
      return KeychainCopyResult{status, {}};
    }
    return result;
  }

  KeychainStatus deleteAccountItems(std::string_view account) override {
    Failure failure;
    return logged("delete an account's items", deleteWhere(kDeleteAccount, account, failure),
                  failure);
  }

  KeychainStatus deleteServiceItems(std::string_view service) override {
    Failure failure;
    return logged(
        "delete a service's items",
        deleteWhere("DELETE FROM main.generic_passwords WHERE service = ?1 COLLATE BINARY", service,
                    failure),
        failure);
  }

  std::optional<std::string> createTrustedApplicationReference(const std::string& path) override {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0) return std::nullopt;
    return path;
  }

 private:
  // Logs why `operation` failed when `status` says it did; returns `status`.
  KeychainStatus logged(std::string_view operation, KeychainStatus status,
                        const Failure& failure) const {
    if (status == KeychainStatus::failure) {
      logger_.log("Shared items store %{public}s: could not %{public}s (%{public}s): %{public}s",
                  databasePath_, operation, failure.step, failure.reason);
    }
    return status;
  }

  // Adds `item`; when `replacing`, first removes the item of its account in
  // the same transaction, so that a refused insertion keeps the old item.
  KeychainStatus add(const GenericPasswordItem& item, bool replacing, Failure& failure) const {
    std::string trustedApplications;
    try {
      trustedApplications = nlohmann::json(item.trustedApplications).dump();
    } catch (const nlohmann::json::exception&) {
      // A path that is not UTF-8 has no JSON form.
      return failed(failure, "encode the trusted applications", "a path is not valid UTF-8");
    }
    if (!createFileIfMissing(failure)) return KeychainStatus::failure;
    const Database db = open(failure);
    if (!db) return KeychainStatus::failure;
    Transaction transaction(db.get());
    if (!transaction.begin(/*forWriting=*/true)) {
      return failed(failure, "begin a transaction", db.get());
    }
    switch (inspectTable(db.get(), failure)) {
      case TableState::missing:
        if (sqlite3_exec(db.get(), kCreateGenericPasswordsTable, nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
          return failed(failure, "create the table", db.get());
        }
        break;
      case TableState::usable:
        break;
      case TableState::unusable:
        return KeychainStatus::failure;
    }
    if (replacing && !execute(db.get(), kDeleteAccount, item.account)) {
      return failed(failure, "delete", db.get());
    }
    const KeychainStatus status = insert(db.get(), item, trustedApplications, failure);
    if (status != KeychainStatus::success) return status;
    if (!transaction.commit()) return failed(failure, "commit", db.get());
    return KeychainStatus::success;
  }

  Database open(Failure& failure) const {
    sqlite3* raw = nullptr;
    // Never SQLITE_OPEN_CREATE: a file SQLite cannot read must stay as it is,
    // and the file is created beforehand with its mode (createFileIfMissing).
    const int rc = sqlite3_open_v2(databasePath_.c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    Database db(raw);  // closed on failure too
    if (rc != SQLITE_OK) {
      failed(failure, "open", raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
      return nullptr;
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, busyTimeoutMs_);
    return db;
  }

  FilePresence probeFile(Failure& failure) const {
    struct stat status {};
    if (::lstat(databasePath_.c_str(), &status) == 0) return FilePresence::present;
    if (errno == ENOENT) return FilePresence::missing;
    failed(failure, "find the file", systemErrorText(errno));
    return FilePresence::unusable;
  }

  // Makes the folder (0700) and an empty file (0600) when they are missing.
  // An existing file is left as it is, a symbolic link is not followed.
  bool createFileIfMissing(Failure& failure) const {
    const std::filesystem::path parent = std::filesystem::path(databasePath_).parent_path();
    if (!parent.empty()) {
      if (const int error = ensureDirectory(parent); error != 0) {
        failed(failure, "create the folder", systemErrorText(error));
        return false;
      }
    }
    const int fd =
        ::open(databasePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) return true;
      failed(failure, "create the file", systemErrorText(errno));
      return false;
    }
    const int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;  // the umask may have narrowed it
    ::close(fd);
    if (error != 0) failed(failure, "create the file", systemErrorText(error));
    return error == 0;
  }

  static KeychainStatus insert(sqlite3* db, const GenericPasswordItem& item,
                               std::string_view trustedApplications, Failure& failure) {
    const Statement statement = prepare(db,
                                        "INSERT INTO main.generic_passwords (account, service, "
                                        "access_description, trusted_applications, value) "
                                        "VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!statement || !bindText(statement.get(), 1, item.account) ||
        !bindText(statement.get(), 2, item.service) ||
        !bindText(statement.get(), 3, item.accessDescription) ||
        !bindText(statement.get(), 4, trustedApplications) ||
        !bindBlob(statement.get(), 5, item.value)) {
      return failed(failure, "insert", db);
    }
    switch (sqlite3_step(statement.get())) {
      case SQLITE_DONE:
        return KeychainStatus::success;
      case SQLITE_CONSTRAINT_PRIMARYKEY:
        return KeychainStatus::duplicateItem;
      default:
        return failed(failure, "insert", db);
    }
  }

  static KeychainCopyResult selectValue(sqlite3* db, std::string_view account, Failure& failure) {
    constexpr std::string_view kStep = "select";
    KeychainCopyResult result;
    const Statement statement =
        prepare(db, "SELECT value FROM main.generic_passwords WHERE account = ?1 COLLATE BINARY");
    if (!statement || !bindText(statement.get(), 1, account)) {
      failed(failure, kStep, db);
      return result;
    }
    const int rc = sqlite3_step(statement.get());
    if (rc == SQLITE_DONE) {
      result.status = KeychainStatus::itemNotFound;
      return result;
    }
    if (rc != SQLITE_ROW) {
      failed(failure, kStep, db);
      return result;
    }
    if (sqlite3_column_type(statement.get(), 0) == SQLITE_NULL) {
      failed(failure, kStep, "the value is NULL");
      return result;
    }
    const void* bytes = sqlite3_column_blob(statement.get(), 0);
    const int size = sqlite3_column_bytes(statement.get(), 0);
    if (size > 0 && bytes == nullptr) {
      failed(failure, kStep, sqlite3_errstr(SQLITE_NOMEM));
      return result;
    }
    if (size > 0) result.value.assign(static_cast<const char*>(bytes), static_cast<size_t>(size));
    result.status = KeychainStatus::success;
    return result;
  }

  // Runs `sql` to its end with `key` bound to ?1; false when SQLite refuses.
  static bool execute(sqlite3* db, std::string_view sql, std::string_view key) {
    const Statement statement = prepare(db, sql);
    return statement && bindText(statement.get(), 1, key) &&
           sqlite3_step(statement.get()) == SQLITE_DONE;
  }

  KeychainStatus deleteWhere(std::string_view sql, std::string_view key, Failure& failure) const {
    return inExistingTable(/*forWriting=*/true, failure, [&](sqlite3* db) {
      if (!execute(db, sql, key)) return failed(failure, "delete", db);
      return sqlite3_changes64(db) == 0 ? KeychainStatus::itemNotFound : KeychainStatus::success;
    });
  }

  // Runs `body` in a transaction on the store's table and commits unless it
  // failed. A store or table that does not exist yet holds no item
  // (itemNotFound) and is not created; one that cannot be used fails, and
  // `failure` says why, as `body` must when it fails.
  template <class Body>
  KeychainStatus inExistingTable(bool forWriting, Failure& failure, Body body) const {
    switch (probeFile(failure)) {
      case FilePresence::missing:
        return KeychainStatus::itemNotFound;
      case FilePresence::unusable:
        return KeychainStatus::failure;
      case FilePresence::present:
        break;
    }
    const Database db = open(failure);
    if (!db) return KeychainStatus::failure;
    Transaction transaction(db.get());
    if (!transaction.begin(forWriting)) return failed(failure, "begin a transaction", db.get());
    switch (inspectTable(db.get(), failure)) {
      case TableState::missing:
        return KeychainStatus::itemNotFound;
      case TableState::unusable:
        return KeychainStatus::failure;
      case TableState::usable:
        break;
    }
    const KeychainStatus status = body(db.get());
    if (status == KeychainStatus::failure) return status;
    if (!transaction.commit()) return failed(failure, "commit", db.get());
    return status;
  }

  const std::string databasePath_;
  const Logger logger_;
  const int busyTimeoutMs_;
};

}  // namespace

std::shared_ptr<Keychain> makeSqliteKeychain(std::string databasePath, Logger logger,
                                             std::chrono::milliseconds busyTimeout) {
  return std::make_shared<SqliteKeychain>(std::move(databasePath), std::move(logger), busyTimeout);
}

}  // namespace quarn::platform
