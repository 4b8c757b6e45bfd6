// RequestBuilder: a service call (path, query, body, headers, method) made
// into the request that goes out, with the default headers, the agent's name
// and the request's time limits.
#include "api/request_builder.h"

#include <utility>

#include "platform/url.h"

namespace quarn::api {
namespace {

// Sent with every request, before the caller's headers.
const Headers& defaultHeaders() {
  static const Headers headers{{"Accept", "application/json"}};
  return headers;
}

// Added after the caller's headers, for PUT only.
const Headers& putFormContentTypeHeader() {
  static const Headers headers{{"Content-Type", "application/x-www-form-urlencoded"}};
  return headers;
}

constexpr double kTimeoutSeconds = 60.0;

}  // namespace

std::string_view rawValue(HTTPMethod method) {
  switch (method) {
    case HTTPMethod::get:
      return "GET";
    case HTTPMethod::post:
      return "POST";
    case HTTPMethod::put:
      return "PUT";
    case HTTPMethod::delete_:
      return "DELETE";
  }
  return "GET";
}

RequestBuilder::RequestBuilder(std::string baseUrl, TransferSettings settings)
    : baseUrl_(std::move(baseUrl)), settings_(std::move(settings)) {}

platform::HttpRequest RequestBuilder::buildRequest(std::string_view path,
                                                   const QueryItems& queryItems,
                                                   const std::optional<std::string>& body,
                                                   const Headers& headers,
                                                   HTTPMethod method) const {
  const std::string pathUrl = platform::appendingPathComponent(baseUrl_, path);
  // The query is always replaced, by an empty one when there are no items.
  // Should the URL not split into components, it goes out without the items.
  const platform::UrlQueryItems items(queryItems.begin(), queryItems.end());

  platform::HttpRequest request;
  request.url = platform::appendingQueryItems(pathUrl, items).value_or(pathUrl);
  request.timeoutInterval = kTimeoutSeconds;
  request.timeLimit = settings_.timeLimit;
  request.method = std::string(rawValue(method));
  request.body = body;
  // Added, never set: a field named twice carries both values, in this order.
  for (const auto& [name, value] : defaultHeaders()) request.headers.add(name, value);
  if (!settings_.userAgent.empty()) request.headers.add("User-Agent", settings_.userAgent);
  for (const auto& [name, value] : headers) request.headers.add(name, value);
  if (method == HTTPMethod::put) {
    for (const auto& [name, value] : putFormContentTypeHeader()) request.headers.add(name, value);
  }
  return request;
}

}  // namespace quarn::api
