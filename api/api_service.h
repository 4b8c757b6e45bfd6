// ApiService: the agent's client of the update service: its endpoints as
// typed calls, over requests that are retried after a delay.
//
// fetchActions() asks for the pending actions of an asset; reportFailedAction()
// tells the service that an action failed, and why. Each has the
// RequestBuilder build its request, sends it on the URL session, checks the
// answer and decodes a 2xx body into the endpoint's record. An answer with
// status 502 is sent again after the retry delay, on the main queue, at most
// twice.
//
// Ownership: always held by a shared_ptr (create()). A request in flight or a
// retry that waits refers to the service only weakly: releasing the service
// abandons waiting retries (their completion never runs), while an answer that
// arrives for a released service is still handed to the completion.
//
// Threads: the calls may be made from any thread and never block. Completions
// run on the URL session's callback thread; only a retry hops to the main
// queue, and the request it sends again completes on the session's thread.
// The service has no mutable state and takes no lock.
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
#include <utility>
#include <vector>

#include "api/request_builder.h"
#include "api/service_records.h"
#include "platform/error.h"
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

class ApiService : public std::enable_shared_from_this<ApiService> {
 public:
  template <class Record>
  using Completion =
      platform::OnceCallback<void(std::optional<Record>, std::optional<platform::Error>)>;

  // `mainQueue` runs the retries, `retryDelaySeconds` after a refused
  // answer. REQUIRES: every pointer is non-null.
  static std::shared_ptr<ApiService> create(std::unique_ptr<RequestBuilder> requestBuilder,
                                            std::shared_ptr<platform::UrlSession> urlSession,
                                            platform::Logger logger,
                                            std::shared_ptr<platform::TaskQueue> mainQueue,
                                            double retryDelaySeconds);

  ApiService(const ApiService&) = delete;
  ApiService& operator=(const ApiService&) = delete;

  // GET "assets/<assetIdentifier>/actions": the pending actions of the asset.
  // The identifier is taken as stored; the builder encodes the path.
  void fetchActions(const std::string& assetIdentifier,
                    Completion<ForwarderActionsResponse> completion);

  // POST "assets/<assetIdentifier>/action-result" with the query items
  // action_id=<actionIdentifier> and result=FAILED, the header Content-Type:
  // application/json and the body actionResultBody(reason).
  void reportFailedAction(const std::string& assetIdentifier, const std::string& actionIdentifier,
                          std::string_view reason, Completion<ActionResultResponse> completion);

 private:
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

  // The caller's end of one request, with the record type erased.
  class Outcome;
  template <class Record>
  class TypedOutcome;
  struct RequestContext;

  ApiService(std::unique_ptr<RequestBuilder> requestBuilder,
             std::shared_ptr<platform::UrlSession> urlSession, platform::Logger logger,
             std::shared_ptr<platform::TaskQueue> mainQueue, double retryDelaySeconds);

  // Sends `request` and calls `completion` once with the decoded record or an
  // error.
  template <class Record>
  void performRequest(ServiceRequest request, Completion<Record> completion);
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
  const double retryDelaySeconds_;
};

}  // namespace quarn::api
