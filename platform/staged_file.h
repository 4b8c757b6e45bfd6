// StagedFile: a new file written privately, then put in place in one step.
//
// FileSystem::createStagedFile() makes one for a destination path. The bytes
// go to a file of this process (mode 0600) in the destination's folder that
// has no name while it is written, so no partial file is ever visible there,
// and none is left behind when the process dies mid-write, even by SIGKILL.
// commit() gives the complete file a private name in that folder and renames
// it over the destination; rename(2) replaces the directory entry and never
// follows a symbolic link planted at the destination, so the file at the
// destination is always the one written here. Until commit() succeeds the
// destination is untouched; a StagedFile dropped uncommitted leaves nothing.
//
// Not thread-safe; one owner at a time.
#pragma once

#include <optional>
#include <string_view>

#include "platform/error.h"

namespace quarn::platform {

class StagedFile {
 public:
  virtual ~StagedFile() = default;
  // Appends `bytes`; an Error (disk full, I/O) leaves the destination untouched.
  [[nodiscard]] virtual std::optional<Error> write(std::string_view bytes) = 0;
  // Closes the file and puts it in place of the destination. Called once.
  [[nodiscard]] virtual std::optional<Error> commit() = 0;
};

}  // namespace quarn::platform
