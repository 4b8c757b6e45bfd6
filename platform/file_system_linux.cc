// Whole-file reads, staged files and lock files with POSIX calls.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/file_system.h"

namespace quarn::platform {
namespace {

// How many random names commit() tries before it gives up on EEXIST.
constexpr int kNameAttempts = 16;

Error stagingError(int errnum, const std::string& destination) {
  return posixError(errnum, "Could not write " + destination);
}

// Writes all of `bytes`; 0 or an errno value.
int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// Copies the whole of `from` (read from its start) to the end of `to`; 0 or an
// errno value.
int copyAll(int from, int to) {
  char buffer[64 * 1024];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(from, buffer, sizeof buffer, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (const int error = writeAll(to, std::string_view(buffer, static_cast<std::size_t>(n)))) {
      return error;
    }
    offset += n;
  }
}

// 16 random hexadecimal digits, or absent when the random source fails.
std::optional<std::string> randomSuffix() {
  unsigned char bytes[8];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(n);
  }
  std::string suffix;
  for (const unsigned char byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    suffix += digits;
  }
  return suffix;
}

// The file being written has no name: it is either an O_TMPFILE file
// (`linkable`), which commit() links into the folder under a private random
// name, or a file unlinked right after mkostemp, which the kernel will not
// link again, so commit() copies it to a new mkostemp file. Either name is
// then renamed over the destination.
class LinuxStagedFile final : public StagedFile {
 public:
  LinuxStagedFile(int fd, bool linkable, std::string folder, std::string name,
                  std::string destination)
      : fd_(fd),
        linkable_(linkable),
        folder_(std::move(folder)),
        name_(std::move(name)),
        destination_(std::move(destination)) {}

  ~LinuxStagedFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  std::optional<Error> write(std::string_view bytes) override {
    if (fd_ < 0) return stagingError(EBADF, destination_);
    if (const int error = writeAll(fd_, bytes)) return stagingError(error, destination_);
    return std::nullopt;
  }

  std::optional<Error> commit() override {
    // No fsync: the file is used right away by the same run, and a run after a
    // power cut downloads it anew; flushing a large package would cost more
    // than the transfer itself.
    if (fd_ < 0) return stagingError(EBADF, destination_);
    Expected<std::string> named = linkable_ ? link() : copy();
    // close() may report a write error the file system deferred (NFS).
    int error = ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
    if (!named) return named.error();
    if (error == 0 && ::rename(named->c_str(), destination_.c_str()) != 0) error = errno;
    if (error != 0) {
      ::unlink(named->c_str());
      return stagingError(error, destination_);
    }
    return std::nullopt;
  }

 private:
  // Links the O_TMPFILE file into the folder under a new private name.
  // Through /proc, linkat needs no capability (AT_EMPTY_PATH would).
  Expected<std::string> link() {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      const auto suffix = randomSuffix();
      if (!suffix) return stagingError(errno, destination_);
      std::string path = folder_ + "." + name_ + "." + *suffix;
      if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return path;
      }
      if (errno != EEXIST) return stagingError(errno, destination_);
    }
    return stagingError(EEXIST, destination_);
  }

  // Copies the unlinked file to a new private file in the folder.
  Expected<std::string> copy() {
    std::string path = folder_ + "." + name_ + ".XXXXXX";
    const int out = ::mkostemp(path.data(), O_CLOEXEC);
    if (out < 0) return stagingError(errno, destination_);
    int error = copyAll(fd_, out);
    if (::close(out) != 0 && error == 0) error = errno;
    if (error != 0) {
      ::unlink(path.c_str());
      return stagingError(error, destination_);
    }
    return path;
  }

  int fd_;
  const bool linkable_;
  const std::string folder_;  // ends in "/"
  const std::string name_;
  const std::string destination_;
};

class LinuxFileSystem final : public FileSystem {
 public:
  explicit LinuxFileSystem(FileSystemOptions options) : options_(options) {}

  std::optional<std::string> readFile(const std::string& path) override {
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It changes
    // nothing for the regular files that are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> contents = readAll(fd);
    ::close(fd);
    return contents;
  }

  FileLock lockFile(const std::string& path) override {
    // flock() belongs to this open file: a second open finds it held, and the
    // lock ends with the last descriptor of it. O_CLOEXEC keeps a program the
    // agent starts (the updater outlives it) from holding the lock on.
    FileDescriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file) return {FileLock::State::failed, {}, posixError(errno)};
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return {FileLock::State::heldByAnother, {}, std::nullopt};
      return {FileLock::State::failed, {}, posixError(errno)};
    }
    return {FileLock::State::acquired, std::move(file), std::nullopt};
  }

  Expected<std::unique_ptr<StagedFile>> createStagedFile(const std::string& destination) override {
    const auto slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? "./" : destination.substr(0, slash + 1);
    const std::string name =
        slash == std::string::npos ? destination : destination.substr(slash + 1);
    if (options_.unnamedStagedFiles) {
      const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) return staged(fd, true, folder, name, destination);
      // EISDIR: a kernel without O_TMPFILE; EOPNOTSUPP: a file system
      // without it. Anything else (no folder, no permission) is final.
      if (errno != EISDIR && errno != EOPNOTSUPP) return stagingError(errno, destination);
    }
    // mkostemp creates the file with mode 0600 and O_EXCL; it loses its name
    // at once.
    std::string path = folder + "." + name + ".XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return stagingError(errno, destination);
    ::unlink(path.c_str());
    return staged(fd, false, folder, name, destination);
  }

 private:
  static Expected<std::unique_ptr<StagedFile>> staged(int fd, bool linkable,
                                                      const std::string& folder,
                                                      const std::string& name,
                                                      const std::string& destination) {
    return std::unique_ptr<StagedFile>(
        std::make_unique<LinuxStagedFile>(fd, linkable, folder, name, destination));
  }

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

  const FileSystemOptions options_;
};

}  // namespace

std::shared_ptr<FileSystem> makeFileSystem(FileSystemOptions options) {
  return std::make_shared<LinuxFileSystem>(options);
}

}  // namespace quarn::platform
