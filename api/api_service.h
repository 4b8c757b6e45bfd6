// ApiService: the agent's HTTP client for the update service.
//
// performRequest() has the RequestBuilder build a request, sends it on the
// URL session, checks the answer and decodes a 2xx body into the record type
// the caller names (a type with `static std::optional<Record>
// decode(std::string_view)`). Answers whose status is in the caller's retry
// list are sent again after kRetryDelaySeconds, on the main queue, as many
// times as the caller allows.
//
// Ownership: always held by a shared_ptr (create()). A request in flight or a
// retry that waits refers to the service only weakly: releasing the service
// abandons waiting retries (their completion never runs), while an answer that
// arrives for a released service is still handed to the completion.
//
// Threads: performRequest() may be called from any thread and never blocks.
// Completions run on the URL session's callback thread; only a retry hops to
// the main queue, and the request it sends again completes on the session's
// thread. The service has no mutable state and takes no lock.
//
// Failure: every outcome goes to the completion, exactly once, as a record or
// a platform::Error, never both (see handleResponse in the .cc for the order
// of the rules). Nothing is thrown.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/request_builder.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logger.h"
#include "platform/once_callback.h"
#include "platform/task_queue.h"
#include "platform/url_session.h"

namespace quarn::api {

inline constexpr std::string_view kApiErrorDomain = "ApiError";

// The service client's own error. `statusCode` is the HTTP status of a refused
// answer, 100 for an answer without data, or 101 for a 2xx answer that did not
// decode. Only the description (the message) is ever looked at.
struct ApiError {
  std::int64_t statusCode = 0;
  std::string message;

  // Error{"ApiError", statusCode, message}.
  platform::Error toError() const;
};

// One call of the service: `method` `path` with `queryItems`, `body` and
// `headers` (see RequestBuilder). An answer whose status is in
// `retryStatusCodes` is sent again while `retries` > 0.
struct ServiceRequest {
  std::string path{};
  QueryItems queryItems{};
  std::optional<std::string> body{};
  Headers headers{};
  HTTPMethod method = HTTPMethod::get;
  std::vector<std::int64_t> retryStatusCodes{};
  int retries = 0;
};

class ApiService : public std::enable_shared_from_this<ApiService> {
 public:
  template <class Record>
  using Completion =
      platform::OnceCallback<void(std::optional<Record>, std::optional<platform::Error>)>;

  // Fixed wait between a refused answer and the next send.
  static constexpr double kRetryDelaySeconds = 30.0;

  // `mainQueue` runs the retries; `fileSystem` takes the downloaded files;
  // `download` is what each download's request carries (the service requests
  // get theirs from `requestBuilder`).
  // REQUIRES: every pointer is non-null.
  static std::shared_ptr<ApiService> create(std::unique_ptr<RequestBuilder> requestBuilder,
                                            std::shared_ptr<platform::UrlSession> urlSession,
                                            platform::Logger logger,
                                            std::shared_ptr<platform::TaskQueue> mainQueue,
                                            std::shared_ptr<platform::FileSystem> fileSystem,
                                            TransferSettings download = {});

  ApiService(const ApiService&) = delete;
  ApiService& operator=(const ApiService&) = delete;

  // Sends `request` and calls `completion` once with the decoded record or an
  // error.
  template <class Record>
  void performRequest(ServiceRequest request, std::type_identity_t<Completion<Record>> completion) {
    performRequestWith(std::move(request),
                       std::make_unique<TypedOutcome<Record>>(std::move(completion)));
  }

  // Fetches `sourceUrl` with a plain GET (no service headers: "Accept: */*"
  // and the download settings' User-Agent and time limit), checks the
  // status and that the body's SHA-256 is `expectedChecksum` (exact text),
  // and only then puts the body at `destinationPath`; see file_download.h.
  // The body is streamed to a staged file of the service's FileSystem while
  // it is digested, so memory stays flat whatever its size and no partial
  // file is ever visible; on any failure the destination is untouched. A
  // failed write ends the transfer at once with the file system's error. `completion` runs exactly
  // once on the session's thread, after downloadFile() has returned, with no error on success, a
  // FileDownloaderError, or the platform's error unchanged.
  using DownloadCompletion = platform::OnceCallback<void(std::optional<platform::Error>)>;
  void downloadFile(std::string sourceUrl, std::string destinationPath,
                    std::string expectedChecksum, DownloadCompletion completion);

 private:
  // The caller's end of one request, with the record type erased: decodes a
  // 2xx body and completes with the record, or completes with an error.
  class Outcome {
   public:
    virtual ~Outcome() = default;
    // Completes and returns true when `body` decodes; otherwise returns false
    // and leaves the completion to run later.
    virtual bool completeWithBody(std::string_view body) = 0;
    virtual void completeWithError(platform::Error error) = 0;
  };

  template <class Record>
  class TypedOutcome final : public Outcome {
   public:
    explicit TypedOutcome(Completion<Record> completion) : completion_(std::move(completion)) {}
    bool completeWithBody(std::string_view body) override {
      std::optional<Record> record = Record::decode(body);
      if (!record) return false;
      std::move(completion_)(std::move(record), std::nullopt);
      return true;
    }
    void completeWithError(platform::Error error) override {
      std::move(completion_)(std::nullopt, std::move(error));
    }

   private:
    Completion<Record> completion_;
  };

  struct RequestContext;

  ApiService(std::unique_ptr<RequestBuilder> requestBuilder,
             std::shared_ptr<platform::UrlSession> urlSession, platform::Logger logger,
             std::shared_ptr<platform::TaskQueue> mainQueue,
             std::shared_ptr<platform::FileSystem> fileSystem, TransferSettings download);

  void performRequestWith(ServiceRequest request, std::unique_ptr<Outcome> outcome);
  void send(std::unique_ptr<RequestContext> context);
  static void handleResponse(std::unique_ptr<RequestContext> context,
                             std::optional<std::string> body,
                             std::optional<platform::HttpResponse> response,
                             std::optional<platform::Error> error);
  static void retryRequest(std::unique_ptr<RequestContext> context);

  const std::unique_ptr<RequestBuilder> requestBuilder_;
  const std::shared_ptr<platform::UrlSession> urlSession_;
  const platform::Logger logger_;
  const std::shared_ptr<platform::TaskQueue> mainQueue_;
  const std::shared_ptr<platform::FileSystem> fileSystem_;
  const TransferSettings download_;
};

}  // namespace quarn::api
