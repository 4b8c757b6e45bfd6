// RequestBuilder: turns a service call into a complete HTTP request.
//
// One builder is made per ApiService from the service base URL and the
// transfer settings, and never changes. buildRequest() never fails and keeps
// no state, so a builder may be used from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/url_session.h"

namespace quarn::api {

enum class HTTPMethod { get, post, put, delete_ };

std::string_view rawValue(HTTPMethod method);

using QueryItems = std::map<std::string, std::string>;
using Headers = std::map<std::string, std::string>;

// What each request carries beyond its call: the User-Agent field (empty:
// none) and the seconds one send may take in all (HttpRequest::timeLimit; 0:
// no limit).
struct TransferSettings {
  std::string userAgent{};
  double timeLimit = 0;
};

class RequestBuilder {
 public:
  // REQUIRES: `baseUrl` is an absolute https URL whose path ends in "/".
  explicit RequestBuilder(std::string baseUrl, TransferSettings settings = {});

  platform::HttpRequest buildRequest(std::string_view path, const QueryItems& queryItems,
                                     const std::optional<std::string>& body, const Headers& headers,
                                     HTTPMethod method) const;

 private:
  std::string baseUrl_;
  TransferSettings settings_;
};

}  // namespace quarn::api
