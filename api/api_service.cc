// ApiService: the service's two endpoints, and the sending, checking,
// decoding and retrying that every request shares.
#include "api/api_service.h"

#include <algorithm>
#include <cassert>

#include "platform/text.h"

namespace quarn::api {
namespace {

constexpr std::int64_t kNoDataStatusCode = 100;
constexpr std::int64_t kUndecodableStatusCode = 101;

// The body as UTF-8 text, or the empty text when it is not valid UTF-8.
std::string bodyText(const std::string& body) {
  return platform::isValidUtf8(body) ? body : std::string();
}

}  // namespace

platform::Error ApiError::toError() const {
  return platform::Error{std::string(kApiErrorDomain), statusCode, message};
}

// Decodes a 2xx body and completes with the record, or completes with an
// error.
class ApiService::Outcome {
 public:
  virtual ~Outcome() = default;
  // Completes and returns true when `body` decodes; otherwise returns false
  // and leaves the completion to run later.
  virtual bool completeWithBody(std::string_view body) = 0;
  virtual void completeWithError(platform::Error error) = 0;
};

template <class Record>
class ApiService::TypedOutcome final : public Outcome {
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

// Everything one request needs until it ends, including what a retry sends
// again. Owned by exactly one step at a time: the data task's completion, then
// possibly a delayed retry on the main queue.
struct ApiService::RequestContext {
  // The call; its `retries` counts down with each retry.
  ServiceRequest request;
  // Weak, so that neither a request in flight nor a waiting retry keeps the
  // service alive.
  std::weak_ptr<ApiService> service;
  // Weak too: a retry waiting on the queue would otherwise own the queue.
  std::weak_ptr<platform::TaskQueue> mainQueue;
  double retryDelaySeconds = 0;
  std::unique_ptr<Outcome> outcome;
};

std::shared_ptr<ApiService> ApiService::create(std::unique_ptr<RequestBuilder> requestBuilder,
                                               std::shared_ptr<platform::UrlSession> urlSession,
                                               platform::Logger logger,
                                               std::shared_ptr<platform::TaskQueue> mainQueue,
                                               double retryDelaySeconds) {
  return std::shared_ptr<ApiService>(new ApiService(std::move(requestBuilder),
                                                    std::move(urlSession), std::move(logger),
                                                    std::move(mainQueue), retryDelaySeconds));
}

ApiService::ApiService(std::unique_ptr<RequestBuilder> requestBuilder,
                       std::shared_ptr<platform::UrlSession> urlSession, platform::Logger logger,
                       std::shared_ptr<platform::TaskQueue> mainQueue, double retryDelaySeconds)
    : requestBuilder_(std::move(requestBuilder)),
      urlSession_(std::move(urlSession)),
      logger_(std::move(logger)),
      mainQueue_(std::move(mainQueue)),
      retryDelaySeconds_(retryDelaySeconds) {}

void ApiService::fetchActions(const std::string& assetIdentifier,
                              Completion<ForwarderActionsResponse> completion) {
  performRequest<ForwarderActionsResponse>(
      {
          .path = "assets/" + assetIdentifier + "/actions",
          .method = HTTPMethod::get,
          .retryStatusCodes = {502},
          .retries = 2,
      },
      std::move(completion));
}

void ApiService::reportFailedAction(const std::string& assetIdentifier,
                                    const std::string& actionIdentifier, std::string_view reason,
                                    Completion<ActionResultResponse> completion) {
  performRequest<ActionResultResponse>(
      {
          .path = "assets/" + assetIdentifier + "/action-result",
          .queryItems = {{"action_id", actionIdentifier}, {"result", "FAILED"}},
          .body = actionResultBody(reason),
          .headers = {{"Content-Type", "application/json"}},
          .method = HTTPMethod::post,
          .retryStatusCodes = {502},
          .retries = 2,
      },
      std::move(completion));
}

template <class Record>
void ApiService::performRequest(ServiceRequest request, Completion<Record> completion) {
  auto context = std::make_unique<RequestContext>();
  context->request = std::move(request);
  context->service = weak_from_this();
  context->mainQueue = mainQueue_;
  context->retryDelaySeconds = retryDelaySeconds_;
  context->outcome = std::make_unique<TypedOutcome<Record>>(std::move(completion));
  send(std::move(context));
}

void ApiService::send(std::unique_ptr<RequestContext> context) {
  const ServiceRequest& call = context->request;
  platform::HttpRequest request = requestBuilder_->buildRequest(
      call.path, call.queryItems, call.body, call.headers, call.method);
  urlSession_->dataTask(std::move(request), [context = std::move(context)](
                                                std::optional<std::string> body,
                                                std::optional<platform::HttpResponse> response,
                                                std::optional<platform::Error> error) mutable {
    handleResponse(std::move(context), std::move(body), std::move(response), std::move(error));
  });
}

// On the session's callback thread. The first rule that applies decides.
void ApiService::handleResponse(std::unique_ptr<RequestContext> context,
                                std::optional<std::string> body,
                                std::optional<platform::HttpResponse> response,
                                std::optional<platform::Error> error) {
  Outcome& outcome = *context->outcome;
  // Without an answer the transport error itself is not passed on.
  if (!response) {
    outcome.completeWithError(platform::badServerResponseError());
    return;
  }
  // An empty body is a body; only a missing one ends here.
  if (!body) {
    outcome.completeWithError(
        error ? std::move(*error)
              : ApiError{kNoDataStatusCode, "Did not receive data from API"}.toError());
    return;
  }
  const std::int64_t status = response->statusCode;
  if (status >= 200 && status <= 299) {
    if (!outcome.completeWithBody(*body)) {
      outcome.completeWithError(
          ApiError{kUndecodableStatusCode, "Unable to decode response from API: " + bodyText(*body)}
              .toError());
    }
    return;
  }
  const auto& retryCodes = context->request.retryStatusCodes;
  if (context->request.retries >= 1 &&
      std::find(retryCodes.begin(), retryCodes.end(), status) != retryCodes.end()) {
    if (auto service = context->service.lock()) {
      service->logger_.log("Retry scheduled: Request to %s failed with a status code %ld",
                           context->request.path, status);
    }
    // Scheduled even when the service is gone; retryRequest then abandons it.
    if (auto queue = context->mainQueue.lock()) {
      const double delay = context->retryDelaySeconds;
      queue->postDelayed(
          delay, [context = std::move(context)]() mutable { retryRequest(std::move(context)); });
    }
    return;
  }
  outcome.completeWithError(ApiError{status, bodyText(*body)}.toError());
}

// On the main queue.
void ApiService::retryRequest(std::unique_ptr<RequestContext> context) {
  const std::shared_ptr<ApiService> service = context->service.lock();
  if (!service) return;  // abandoned: the completion is never called
  assert(service->mainQueue_->runsTasksOnCurrentThread());
  service->logger_.log("Retrying request to %{public}s", context->request.path);
  --context->request.retries;
  service->send(std::move(context));
}

}  // namespace quarn::api
