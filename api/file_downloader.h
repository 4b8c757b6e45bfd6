// FileDownloader: fetches the update package, checks its SHA-256 against the
// value the service announced, and only then puts it in place.
//
// The request is a plain GET of the package's URL: none of the service's
// headers, only "Accept: */*" and the User-Agent and time limit of its
// settings. The body is streamed to a staged file of the downloader's
// FileSystem while it is digested, so memory stays flat whatever its size and
// no partial file is ever visible: on any failure the destination is
// untouched. A refused status, or a write that fails, ends the transfer at
// once.
//
// Ownership: the downloader keeps no state between calls; a download in flight
// holds what it needs (the file system, its completion) until it ends.
//
// Threads: downloadFile() may be called from any thread and never blocks. The
// digest, the writes and the completion run on the URL session's callback
// thread, after downloadFile() has returned.
//
// Failure: the completion runs exactly once, with no error when the package is
// in place, a FileDownloaderError, or the platform's error unchanged
// (transport or file system).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "api/request_builder.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/once_callback.h"
#include "platform/url_session.h"

namespace quarn::api {

inline constexpr std::string_view kFileDownloaderErrorDomain = "FileDownloaderError";

// The download's own error; each case has a fixed description.
class FileDownloaderError {
 public:
  static FileDownloaderError errorStatusCode(std::int64_t code);
  static FileDownloaderError invalidFileChecksum(std::string expected, std::string received);
  static FileDownloaderError notHTTPURLResponse();
  // No path raises it: the body is streamed, there is no temporary URL.
  static FileDownloaderError tempLocalURLNotReceived();
  // No path raises it: a streamed body is always there, possibly empty.
  static FileDownloaderError dataNotReceived();

  // The fixed text that logs and failure reports show.
  std::string description() const;
  // Error{"FileDownloaderError", <case number>, description()}.
  platform::Error toError() const;

 private:
  struct ErrorStatusCode {
    std::int64_t code;
  };
  struct InvalidFileChecksum {
    std::string expected;
    std::string received;
  };
  struct NotHTTPURLResponse {};
  struct TempLocalURLNotReceived {};
  struct DataNotReceived {};
  using Case = std::variant<ErrorStatusCode, InvalidFileChecksum, NotHTTPURLResponse,
                            TempLocalURLNotReceived, DataNotReceived>;

  explicit FileDownloaderError(Case value) : value_(std::move(value)) {}
  Case value_;
};

// SHA-256 of `bytes` as 64 lower-case hexadecimal characters.
std::string sha256HexString(std::string_view bytes);

class FileDownloader {
 public:
  using Completion = platform::OnceCallback<void(std::optional<platform::Error>)>;

  // `settings` gives each download's User-Agent and time limit.
  // REQUIRES: both pointers are non-null.
  FileDownloader(std::shared_ptr<platform::UrlSession> urlSession,
                 std::shared_ptr<platform::FileSystem> fileSystem, TransferSettings settings);

  // Fetches `sourceUrl`, checks the status (2xx) and that the body's SHA-256
  // is `expectedChecksum` (exact text), and only then puts the body at
  // `destinationPath`, replacing what was there.
  void downloadFile(std::string sourceUrl, std::string destinationPath,
                    std::string expectedChecksum, Completion completion);

 private:
  const std::shared_ptr<platform::UrlSession> urlSession_;
  const std::shared_ptr<platform::FileSystem> fileSystem_;
  const TransferSettings settings_;
};

}  // namespace quarn::api
