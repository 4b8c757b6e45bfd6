// FileDescriptor: sole ownership of an open file descriptor, which is closed
// when its owner lets go of it. Lets code above the platform layer hand a
// descriptor from one platform service to another (a log stream to a child
// process) without ever closing one itself.
#pragma once

#include <utility>

namespace quarn::platform {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes ownership of `fd`; a negative value gives an empty descriptor.
  explicit FileDescriptor(int fd) : fd_(fd < 0 ? -1 : fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  // -1 when empty.
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor now; the object is empty afterwards.
  void reset();

 private:
  int fd_ = -1;
};

}  // namespace quarn::platform
