// The errors of a libcurl transfer and the checks of a request before libcurl
// sees it, for the libcurl session (url_session_linux.cc).
//
// Internal to platform/: it names libcurl's types, so only the session's own
// files include it; the session's interface is url_session.h. Pure functions,
// safe on any thread; nothing here throws or logs.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/url_session.h"

namespace quarn::platform {

// An error of the URL-loading domain with `code` and `description`.
Error urlError(std::int64_t code, std::string description);
// kCancelled: the session or a chunk handler ended the transfer on purpose.
Error cancelledError();

// The session's error for a transfer that curl ended with `code`. `abortCode`
// is set when one of the session's own write callbacks stopped the transfer,
// and says why; `detail` is curl's error buffer (may be null or empty), the
// reason an unknown error gives.
Error errorForCurlCode(CURLcode code, std::optional<std::int64_t> abortCode, const char* detail);

// The stage at which a transfer failed, for the log ("resolve", "connect",
// "TLS", "time-out" or "transfer"): derived from the error that curl's code
// maps to.
const char* failureStage(const Error& error);

// `url`'s host (with its port when the URL names one) and its path with the
// query; the whole URL as the path when it does not parse.
std::pair<std::string, std::string> hostAndPath(const std::string& url);

// What curl would not refuse by itself: a request that is not https, or whose
// method or header fields would not form a well-formed request (a header
// value may not smuggle in another line). Absent when the request may go.
std::optional<Error> checkRequest(const HttpRequest& request);

}  // namespace quarn::platform
