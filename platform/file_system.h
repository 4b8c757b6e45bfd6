// FileSystem: the file operations the agent needs.
//
// readFile() reads a whole file; createStagedFile() starts a file that appears
// at its destination only once it is complete (staged_file.h), like LevelDB's
// Env::NewWritableFile; lockFile() takes the lock that lets one process at a
// time go on, like Env::LockFile. The composition makes the one instance and
// hands it to the objects that touch files, so tests can give them a fake that
// fails on cue (tests/support/fake_file_system.h).
//
// Thread-safe: every method may be called from any thread. Failures come back
// as values (absent, or an Error of the POSIX domain); nothing is thrown.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/staged_file.h"

namespace quarn::platform {

// The outcome of FileSystem::lockFile().
struct FileLock {
  enum class State { acquired, heldByAnother, failed };
  State state = State::failed;
  // When acquired: the open lock file, which holds the lock until it is
  // closed. The kernel drops the lock when the process ends, however it ends;
  // the programs the process starts never get it.
  FileDescriptor file;
  // When failed: the system's reason, without the path.
  std::optional<Error> error;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The whole file, or absent when it is missing or cannot be read.
  virtual std::optional<std::string> readFile(const std::string& path) = 0;
  // A staged file that will replace `destination`, written in the same
  // folder; an Error when that folder cannot take it (missing, no permission).
  [[nodiscard]] virtual Expected<std::unique_ptr<StagedFile>> createStagedFile(
      const std::string& destination) = 0;
  // Takes the exclusive lock of the file at `path` without waiting, creating
  // the file (mode 0600) when missing; a symbolic link there is not followed.
  // While one holder has it, every other attempt finds it heldByAnother.
  [[nodiscard]] virtual FileLock lockFile(const std::string& path) = 0;
};

struct FileSystemOptions {
  // Staged files are written as unnamed files (O_TMPFILE). Where the file
  // system refuses those, and always when this is false (for tests), they are
  // written to a file unlinked at once and copied to a private name on commit:
  // then only a SIGKILL during that copy can leave a partial file.
  bool unnamedStagedFiles = true;
};

std::shared_ptr<FileSystem> makeFileSystem(FileSystemOptions options = {});

}  // namespace quarn::platform
