#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/staged_file.h"

namespace quarn::platform {
namespace {

class LinuxStagedFile final : public StagedFile {
 public:
  LinuxStagedFile(int fd, std::string temporaryPath, std::string destination)
      : fd_(fd), temporaryPath_(std::move(temporaryPath)), destination_(std::move(destination)) {}

  ~LinuxStagedFile() override {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temporaryPath_.c_str());
  }

  std::optional<Error> write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return posixError(errno, "Could not write " + destination_);
      }
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
  }

  std::optional<Error> commit() override {
    // No fsync: the file is used right away by the same run, and a run after a
    // power cut downloads it anew; flushing a large package would cost more
    // than the transfer itself.
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return posixError(errno, "Could not write " + destination_);
    if (::rename(temporaryPath_.c_str(), destination_.c_str()) != 0) {
      return posixError(errno, "Could not write " + destination_);
    }
    committed_ = true;
    return std::nullopt;
  }

 private:
  int fd_;
  std::string temporaryPath_;
  std::string destination_;
  bool committed_ = false;
};

}  // namespace

Expected<std::unique_ptr<StagedFile>> createStagedFile(const std::string& destination) {
  const auto slash = destination.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : destination.substr(0, slash));
  const std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  std::string pattern = folder + (folder.ends_with('/') ? "" : "/") + "." + name + ".XXXXXX";
  // mkostemp creates the file with mode 0600 whatever the umask, O_EXCL.
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return posixError(errno, "Could not write " + destination);
  return std::unique_ptr<StagedFile>(
      std::make_unique<LinuxStagedFile>(fd, std::move(pattern), destination));
}

}  // namespace quarn::platform
