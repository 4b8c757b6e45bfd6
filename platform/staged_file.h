// StagedFile: a new file written privately, then put in place in one step.
//
// The bytes go to a temporary file created with mkstemp (mode 0600, owned by
// this process) in the destination's folder. commit() renames it over the
// destination; rename(2) replaces the directory entry and never follows a
// symbolic link planted at the destination, so the file at the destination is
// always the one written here. Until commit() succeeds the destination is
// untouched, and a StagedFile that is dropped uncommitted removes its
// temporary file.
//
// Not thread-safe; one owner at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quarn::platform {

class StagedFile {
 public:
  virtual ~StagedFile() = default;
  // Appends `bytes`; an Error (disk full, I/O) leaves the destination untouched.
  [[nodiscard]] virtual std::optional<Error> write(std::string_view bytes) = 0;
  // Closes the file and renames it over the destination.
  [[nodiscard]] virtual std::optional<Error> commit() = 0;
};

// Creates the temporary file beside `destination`.
Expected<std::unique_ptr<StagedFile>> createStagedFile(const std::string& destination);

}  // namespace quarn::platform
