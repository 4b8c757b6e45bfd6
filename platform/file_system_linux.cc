// Whole-file reads with POSIX calls.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file_system.h"

namespace quarn::platform {
namespace {

class LinuxFileSystem final : public FileSystem {
 public:
  std::optional<std::string> readFile(const std::string& path) override {
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It changes
    // nothing for the regular files that are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> contents = readAll(fd);
    ::close(fd);
    return contents;
  }

 private:
  static std::optional<std::string> readAll(int fd) {
    struct stat status {};
    // Only regular files: a directory has no contents, and a device or FIFO
    // could block or never end.
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    std::string contents;
    if (status.st_size > 0) contents.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        contents.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0) {
        return contents;
      } else if (errno != EINTR) {
        return std::nullopt;
      }
    }
  }
};

}  // namespace

std::shared_ptr<FileSystem> makeFileSystem() { return std::make_shared<LinuxFileSystem>(); }

}  // namespace quarn::platform
