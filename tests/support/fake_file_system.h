// FakeFileSystem: a FileSystem that holds its files in memory, for tests of
// the logic above the platform, and can be told to fail writes.
//
// Files live in a map from path to contents (setFile, readFile). A staged file
// collects its bytes apart, in an unnamed temporary file (so that a large
// download costs a test no memory, also under a sanitizer), and becomes the
// file at its destination on commit; one dropped uncommitted leaves nothing. A
// temporary file that cannot be made or written fails the creation or the write
// as the disk would. setFaults() sets what fails from then on: past
// `writeLimit` bytes written to staged files in all, every further write fails
// with diskFullError() and writes nothing, as does the write that would go
// past it; with `creates`, createStagedFile() fails (as EACCES); with
// `commits`, commit() fails (as EISDIR) and leaves the destination; a lock on a
// path in `heldLocks` is held by another, any other is acquired. The fake
// holds no lock itself.
//
// Thread-safe: staged files may be written on another thread (the URL
// session's) than the test's. They must not outlive the fake.
#pragma once

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "platform/file_system.h"

namespace quarn::testing {

class FakeFileSystem final : public platform::FileSystem {
 public:
  static platform::Error diskFullError() {
    return platform::posixError(ENOSPC, "Could not write (fake)");
  }

  void setFile(const std::string& path, std::string contents) {
    std::lock_guard lock(mutex_);
    files_[path] = std::move(contents);
  }
  struct Faults {
    std::optional<std::uint64_t> writeLimit = std::nullopt;
    bool creates = false, commits = false;
    std::set<std::string> heldLocks = {};
  };
  void setFaults(Faults faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
  }
  // Staged files created and not yet destroyed.
  std::size_t openStagedFiles() const {
    std::lock_guard lock(mutex_);
    return openStagedFiles_;
  }

  std::optional<std::string> readFile(const std::string& path) override {
    std::lock_guard lock(mutex_);
    const auto found = files_.find(path);
    return found == files_.end() ? std::nullopt : std::optional(found->second);
  }
  platform::Expected<std::unique_ptr<platform::StagedFile>> createStagedFile(
      const std::string& destination) override {
    std::lock_guard lock(mutex_);
    if (faults_.creates) return platform::posixError(EACCES, "Could not create");
    std::FILE* const bytes = std::tmpfile();
    if (bytes == nullptr) return platform::posixError(errno, "Could not create (fake)");
    ++openStagedFiles_;
    return std::unique_ptr<platform::StagedFile>(
        std::make_unique<Staged>(*this, destination, bytes));
  }
  platform::FileLock lockFile(const std::string& path) override {
    std::lock_guard lock(mutex_);
    using enum platform::FileLock::State;
    return {faults_.heldLocks.contains(path) ? heldByAnother : acquired, {}, {}};
  }

 private:
  class Staged final : public platform::StagedFile {
   public:
    Staged(FakeFileSystem& fake, std::string destination, std::FILE* bytes)
        : fake_(fake), destination_(std::move(destination)), bytes_(bytes, &std::fclose) {}
    ~Staged() override {
      std::lock_guard lock(fake_.mutex_);
      --fake_.openStagedFiles_;
    }

    std::optional<platform::Error> write(std::string_view bytes) override {
      std::lock_guard lock(fake_.mutex_);
      const auto limit = fake_.faults_.writeLimit;
      if ((limit && fake_.written_ + bytes.size() > *limit) ||
          std::fwrite(bytes.data(), 1, bytes.size(), bytes_.get()) != bytes.size()) {
        return diskFullError();
      }
      fake_.written_ += bytes.size();
      return std::nullopt;
    }
    std::optional<platform::Error> commit() override {
      std::lock_guard lock(fake_.mutex_);
      if (fake_.faults_.commits) return platform::posixError(EISDIR, "Could not rename");
      std::string contents(std::ftell(bytes_.get()), '\0');
      std::rewind(bytes_.get());
      contents.resize(std::fread(contents.data(), 1, contents.size(), bytes_.get()));
      fake_.files_[destination_] = std::move(contents);
      return std::nullopt;
    }

   private:
    FakeFileSystem& fake_;
    const std::string destination_;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> bytes_;
  };

  mutable std::mutex mutex_;
  std::map<std::string, std::string> files_;
  Faults faults_;
  std::uint64_t written_ = 0;
  std::size_t openStagedFiles_ = 0;
};

}  // namespace quarn::testing
