// RequestBuilder: turns a service call into a complete HTTP request.
//
// One builder is made per ApiService from the service base URL and never
// changes. buildRequest() never fails and keeps no state, so a builder may be
// used from any thread.
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

class RequestBuilder {
 public:
  // REQUIRES: `baseUrl` is an absolute https URL whose path ends in "/".
  explicit RequestBuilder(std::string baseUrl);

  platform::HttpRequest buildRequest(std::string_view path, const QueryItems& queryItems,
                                     const std::optional<std::string>& body, const Headers& headers,
                                     HTTPMethod method) const;

 private:
  std::string baseUrl_;
};

}  // namespace quarn::api
