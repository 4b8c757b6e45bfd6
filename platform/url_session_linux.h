// The Linux UrlSession, on libcurl.
//
// One worker thread per session drives all of its transfers through a curl
// multi handle; that thread is the session's serial callback queue. It starts
// with the first task and is joined when the session is destroyed. The loading
// rules of UrlSession hold for every request: verified TLS 1.2 or later, https
// only (also across redirects, at most 10), the connect time-out below, and a
// stall time-out of min(stallTimeout, request.timeoutInterval) seconds without
// a single byte received. Proxy settings come from the environment, as
// libcurl reads them (https_proxy, no_proxy, ...).
//
// Every task completes exactly once, on the worker thread, never from inside
// dataTask()/streamTask(). Tasks still running when the session is destroyed
// complete with a kCancelled error: before the destructor returns, or, when the
// session is destroyed from inside one of its own completions, right after
// that completion returns.
//
// A transfer that fails without an HTTP answer logs one record on the
// session's logger, saying where it went (the host public, the path and query
// private), at which stage it failed (resolve, connect, TLS, transfer or
// time-out) and curl's own error code and text. A transfer that the session or
// a chunk handler cancelled on purpose is not a failure and logs nothing; nor
// does a request refused before it is sent (not https, malformed), which
// attempted nothing and whose error says why.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/logger.h"
#include "platform/url_session.h"

namespace quarn::platform {

struct UrlSessionOptions {
  // Seconds allowed to set up a connection (TCP and TLS).
  double connectTimeout = 60;
  // Seconds a transfer may go without receiving a byte; a request's
  // timeoutInterval shortens it.
  double stallTimeout = 60;
  // A PEM file of trusted certificate authorities, replacing the system trust
  // store (for tests); absent: the system trust store.
  std::optional<std::string> caFile;
};

std::shared_ptr<UrlSession> makeUrlSession(UrlSessionOptions options, Logger logger);

}  // namespace quarn::platform
