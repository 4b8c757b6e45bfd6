// ScopedTempDir: a new, empty folder of this test (mode 0700) under the
// system's temporary folder, removed with everything in it when the object
// goes away.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

namespace quarn::testing {

struct ScopedTempDir {
  ScopedTempDir() = default;
  ScopedTempDir(const ScopedTempDir&) = delete;
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }

  const std::string path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category());
    return pattern;
  }();
};

}  // namespace quarn::testing
