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
  std::unique_ptr<Outcome> outcome;
};

std::shared_ptr<ApiService> ApiService::create(std::unique_ptr<RequestBuilder> requestBuilder,
                                               std::shared_ptr<platform::UrlSession> urlSession,
                                               platform::Logger logger,
                                               std::shared_ptr<platform::TaskQueue> mainQueue,
                                               std::shared_ptr<platform::FileSystem> fileSystem,
                                               TransferSettings download) {
  return std::shared_ptr<ApiService>(
      new ApiService(std::move(requestBuilder), std::move(urlSession), std::move(logger),
                     std::move(mainQueue), std::move(fileSystem), std::move(download)));
}

ApiService::ApiService(std::unique_ptr<RequestBuilder> requestBuilder,
                       std::shared_ptr<platform::UrlSession> urlSession, platform::Logger logger,
                       std::shared_ptr<platform::TaskQueue> mainQueue,
                       std::shared_ptr<platform::FileSystem> fileSystem, TransferSettings download)
    : requestBuilder_(std::move(requestBuilder)),
      urlSession_(std::move(urlSession)),
      logger_(std::move(logger)),
      mainQueue_(std::move(mainQueue)),
      fileSystem_(std::move(fileSystem)),
      download_(std::move(download)) {}

void ApiService::performRequestWith(ServiceRequest request, std::unique_ptr<Outcome> outcome) {
  auto context = std::make_unique<RequestContext>();
  context->request = std::move(request);
  context->service = weak_from_this();
  context->mainQueue = mainQueue_;
  context->outcome = std::move(outcome);
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
      queue->postDelayed(kRetryDelaySeconds, [context = std::move(context)]() mutable {
        retryRequest(std::move(context));
      });
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
