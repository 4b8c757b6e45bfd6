// FileSystem: the file operations the agent needs.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace quarn::platform {

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The whole file, or absent when it is missing or cannot be read.
  virtual std::optional<std::string> readFile(const std::string& path) = 0;
};

std::shared_ptr<FileSystem> makeFileSystem();

}  // namespace quarn::platform
