// Closing an owned descriptor, the one system call FileDescriptor makes.
#include <unistd.h>

#include "platform/file_descriptor.h"

namespace quarn::platform {

void FileDescriptor::reset() {
  // Linux releases the descriptor even when close() reports an error, so it
  // is never retried.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace quarn::platform
