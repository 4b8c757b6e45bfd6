// The package download's own error, and the digest text it compares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "platform/error.h"

namespace quarn::api {

inline constexpr std::string_view kFileDownloaderErrorDomain = "FileDownloaderError";

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

}  // namespace quarn::api
