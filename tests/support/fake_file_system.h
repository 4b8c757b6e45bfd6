// FakeFileSystem: an in-memory FileSystem for tests of the logic above the
// platform, which can be told to fail writes.
//
// Files live in a map from path to contents (setFile, readFile). A staged file
// collects its bytes apart and becomes the file at its destination on commit;
// one dropped uncommitted leaves nothing. failWritesAfter(n): once staged files
// have taken n bytes in all, every further write fails with diskFullError()
// and writes nothing, as does the write that would go past n.
//
// Thread-safe: staged files may be written on another thread (the URL
// session's) than the test's, and may outlive the fake.
#pragma once

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/file_system.h"

namespace quarn::testing {

class FakeFileSystem final : public platform::FileSystem {
 public:
  static platform::Error diskFullError() {
    return platform::posixError(ENOSPC, "Could not write (fake)");
  }

  void setFile(const std::string& path, std::string contents) {
    std::lock_guard lock(state_->mutex);
    state_->files[path] = std::move(contents);
  }
  void failWritesAfter(std::uint64_t bytes) {
    std::lock_guard lock(state_->mutex);
    state_->writeLimit = bytes;
  }
  // Staged files created and not yet destroyed.
  std::size_t openStagedFiles() const {
    std::lock_guard lock(state_->mutex);
    return state_->openStagedFiles;
  }

  std::optional<std::string> readFile(const std::string& path) override {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->files.find(path);
    return found == state_->files.end() ? std::nullopt : std::optional(found->second);
  }
  platform::Expected<std::unique_ptr<platform::StagedFile>> createStagedFile(
      const std::string& destination) override {
    std::lock_guard lock(state_->mutex);
    ++state_->openStagedFiles;
    return std::unique_ptr<platform::StagedFile>(std::make_unique<Staged>(state_, destination));
  }

 private:
  struct State {
    std::mutex mutex;
    std::map<std::string, std::string> files;
    std::optional<std::uint64_t> writeLimit;
    std::uint64_t written = 0;
    std::size_t openStagedFiles = 0;
  };

  class Staged final : public platform::StagedFile {
   public:
    Staged(std::shared_ptr<State> state, std::string destination)
        : state_(std::move(state)), destination_(std::move(destination)) {}
    ~Staged() override {
      std::lock_guard lock(state_->mutex);
      --state_->openStagedFiles;
    }

    std::optional<platform::Error> write(std::string_view bytes) override {
      std::lock_guard lock(state_->mutex);
      if (state_->writeLimit && state_->written + bytes.size() > *state_->writeLimit) {
        return diskFullError();
      }
      state_->written += bytes.size();
      contents_.append(bytes);
      return std::nullopt;
    }
    std::optional<platform::Error> commit() override {
      std::lock_guard lock(state_->mutex);
      state_->files[destination_] = std::move(contents_);
      return std::nullopt;
    }

   private:
    const std::shared_ptr<State> state_;
    const std::string destination_;
    std::string contents_;
  };

  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quarn::testing
