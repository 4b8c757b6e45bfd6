// FileDownloader: the package download, streamed to a staged file while its
// SHA-256 is computed, put in place only once the status and the digest are
// right; and FileDownloaderError with its fixed texts.
#include "api/file_downloader.h"

#include <memory>
#include <utility>

#include "platform/crypto.h"

namespace quarn::api {

FileDownloaderError FileDownloaderError::errorStatusCode(std::int64_t code) {
  return FileDownloaderError(ErrorStatusCode{code});
}
FileDownloaderError FileDownloaderError::invalidFileChecksum(std::string expected,
                                                             std::string received) {
  return FileDownloaderError(InvalidFileChecksum{std::move(expected), std::move(received)});
}
FileDownloaderError FileDownloaderError::notHTTPURLResponse() {
  return FileDownloaderError(NotHTTPURLResponse{});
}
FileDownloaderError FileDownloaderError::tempLocalURLNotReceived() {
  return FileDownloaderError(TempLocalURLNotReceived{});
}
FileDownloaderError FileDownloaderError::dataNotReceived() {
  return FileDownloaderError(DataNotReceived{});
}

std::string FileDownloaderError::description() const {
  struct Describe {
    std::string operator()(const ErrorStatusCode& e) const {
      return "Wrong status code received during download status code: " + std::to_string(e.code);
    }
    std::string operator()(const InvalidFileChecksum& e) const {
      return "The SHA256 package checksum is invalid. Expected: " + e.expected +
             ", Received: " + e.received;
    }
    std::string operator()(const NotHTTPURLResponse&) const {
      return "The received response can not be casted to HTTPURLResponse.";
    }
    std::string operator()(const TempLocalURLNotReceived&) const {
      return "The temporary local URL was not received after downloading the file.";
    }
    std::string operator()(const DataNotReceived&) const {
      return "The data payload was not received.";
    }
  };
  return std::visit(Describe{}, value_);
}

platform::Error FileDownloaderError::toError() const {
  return platform::Error{std::string(kFileDownloaderErrorDomain),
                         static_cast<std::int64_t>(value_.index()), description()};
}

std::string sha256HexString(std::string_view bytes) {
  platform::Sha256 digest;
  digest.update(bytes);
  return digest.finishHex();
}

namespace {

bool isSuccess(std::int64_t statusCode) { return statusCode >= 200 && statusCode <= 299; }

// One download in flight. The body of a 2xx answer is digested and written to
// a staged file as it arrives, so memory stays flat whatever the package size;
// the file is put in place only once every check has passed. Any other
// status decides the outcome as soon as it is known: the transfer ends at once,
// so an endless refusal cannot keep the run going, and nothing is written.
//
// A failed write decides the outcome then and there: the transfer ends at
// once (an endless body would otherwise run forever) and the staged file is
// dropped. Writing only starts once the status is known to be 2xx, and no
// transport error can follow the end of the transfer, so the outcome is the one
// the checks in their order would give; the digest, never complete, is not
// compared.
struct Download {
  std::shared_ptr<platform::FileSystem> fileSystem;
  std::string destination;
  std::string expectedChecksum;
  FileDownloader::Completion completion;
  platform::Sha256 digest;
  std::unique_ptr<platform::StagedFile> file;
  std::optional<platform::Error> writeError;
  std::optional<std::int64_t> refusedStatus;

  // Returns false to end the transfer.
  bool consume(std::int64_t statusCode, std::string_view chunk) {
    if (!isSuccess(statusCode)) {
      refusedStatus = statusCode;
      return false;
    }
    digest.update(chunk);
    if (!file && !openFile()) return false;
    if (auto error = file->write(chunk)) {
      writeError = std::move(error);
      file.reset();
      return false;
    }
    return true;
  }

  bool openFile() {
    auto staged = fileSystem->createStagedFile(destination);
    if (!staged) {
      writeError = staged.error();
      return false;
    }
    file = std::move(*staged);
    return true;
  }

  std::optional<platform::Error> finish(const std::optional<platform::HttpResponse>& response,
                                        const std::optional<platform::Error>& error) {
    // A transfer ended here completes with a cancellation; why it was ended
    // is its outcome.
    if (writeError) return writeError;
    if (refusedStatus) return FileDownloaderError::errorStatusCode(*refusedStatus).toError();
    if (error) return error;
    if (!response) return FileDownloaderError::notHTTPURLResponse().toError();
    if (!isSuccess(response->statusCode)) {
      return FileDownloaderError::errorStatusCode(response->statusCode).toError();
    }
    // A streamed body is always there, possibly empty: dataNotReceived cannot
    // arise here.
    std::string received = digest.finishHex();
    if (received != expectedChecksum) {
      return FileDownloaderError::invalidFileChecksum(expectedChecksum, std::move(received))
          .toError();
    }
    if (!file && !openFile()) return writeError;  // an empty body
    return file->commit();
  }
};

}  // namespace

FileDownloader::FileDownloader(std::shared_ptr<platform::UrlSession> urlSession,
                               std::shared_ptr<platform::FileSystem> fileSystem,
                               TransferSettings settings)
    : urlSession_(std::move(urlSession)),
      fileSystem_(std::move(fileSystem)),
      settings_(std::move(settings)) {}

void FileDownloader::downloadFile(std::string sourceUrl, std::string destinationPath,
                                  std::string expectedChecksum, Completion completion) {
  platform::HttpRequest request;
  request.url = std::move(sourceUrl);
  request.method = "GET";
  request.timeoutInterval = 60.0;
  request.timeLimit = settings_.timeLimit;
  if (!settings_.userAgent.empty()) request.headers.add("User-Agent", settings_.userAgent);
  // As common HTTP clients send it: firewalls in front of package hosts may
  // refuse a request without it.
  request.headers.add("Accept", "*/*");

  auto download = std::make_shared<Download>();
  download->fileSystem = fileSystem_;
  download->destination = std::move(destinationPath);
  download->expectedChecksum = std::move(expectedChecksum);
  download->completion = std::move(completion);

  urlSession_->streamTask(
      std::move(request),
      [download](std::int64_t statusCode, std::string_view chunk) {
        return download->consume(statusCode, chunk);
      },
      [download](std::optional<platform::HttpResponse> response,
                 std::optional<platform::Error> error) {
        auto outcome = download->finish(response, error);
        // Drop the temporary file (when it was not committed) before calling
        // back, so the caller never sees it.
        download->file.reset();
        std::move(download->completion)(std::move(outcome));
      });
}

}  // namespace quarn::api
