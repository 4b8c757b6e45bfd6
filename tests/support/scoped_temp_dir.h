// ScopedTempDir: a new, empty folder of this test (mode 0700) under the
// system's temporary folder, removed with everything in it when the object
// goes away.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <string_view>

namespace quarn::testing {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::random_device random;
    do {
      path_ = std::filesystem::temp_directory_path() / ("quarn-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` in the folder.
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace quarn::testing
