// UrlSession: the process's HTTPS client.
//
// Every completion runs on the session's own callback queue, one serial
// background thread, never on the main thread; completions of one session
// never overlap. A task starts at once; the call never blocks.
//
// Loading rules: TLS is always verified (peer and host name), TLS 1.2 at
// least; only https URLs are loaded and redirects (at most 10) are followed only
// to https; a connection that cannot be made within the connect time-out, a
// transfer without progress for the stall time-out, or one that outlasts its
// request's timeLimit, fails. Nothing is cached.
// The URL's path is sent as written ("." and ".." segments are not resolved).
// A body longer than the Content-Length its answer announced ends the transfer
// at once with the badServerResponse error. A transfer that fails delivers its
// error alone: no body and no response.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/logger.h"
#include "platform/once_callback.h"

namespace quarn::platform {

// Header fields in the order they were added. Names compare without regard to
// case; adding a field that is present appends the value, joined by ", ".
class HttpHeaders {
 public:
  void add(std::string_view name, std::string_view value);
  std::optional<std::string> get(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

  friend bool operator==(const HttpHeaders&, const HttpHeaders&) = default;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

struct HttpRequest {
  std::string url;
  std::string method = "GET";
  HttpHeaders headers;
  std::optional<std::string> body;  // absent: no body; empty: an empty body
  double timeoutInterval = 60.0;
  // Seconds the whole transfer may take, name resolution, connection and
  // redirects included; past it the transfer fails with kTimedOut. 0: no limit.
  double timeLimit = 0;
};

struct HttpResponse {
  std::int64_t statusCode = 0;
  std::string url;  // the final URL, after redirects
  HttpHeaders headers;
};

class UrlSession {
 public:
  // Service answers larger than this end as a transport error.
  static constexpr std::size_t kMaxDataTaskBodyBytes = 16 * 1024 * 1024;

  using DataCompletion =
      OnceCallback<void(std::optional<std::string> body, std::optional<HttpResponse> response,
                        std::optional<Error> error)>;
  // Receives the body piece by piece on the callback queue, with the status of
  // the answer it belongs to; returning false aborts the transfer, which then
  // completes with a kCancelled error.
  using ChunkHandler = std::function<bool(std::int64_t statusCode, std::string_view chunk)>;
  using StreamCompletion =
      OnceCallback<void(std::optional<HttpResponse> response, std::optional<Error> error)>;

  virtual ~UrlSession() = default;

  // Loads `request` with the body held in memory (at most
  // kMaxDataTaskBodyBytes).
  virtual void dataTask(HttpRequest request, DataCompletion completion) = 0;

  // Loads `request` handing the body to `onChunk` as it arrives, with no size
  // limit; for large downloads. The transfer's connection is closed when it
  // ends, never used for another request.
  virtual void streamTask(HttpRequest request, ChunkHandler onChunk,
                          StreamCompletion completion) = 0;

  // Whether the calling thread is the one that runs this session's
  // completions, for debug checks of code that must run there. Any thread may
  // ask.
  virtual bool runsCallbacksOnCurrentThread() const = 0;
};

// The session of the agent, on libcurl (platform/url_session_linux.cc).
//
// One worker thread per session drives all of its transfers through a curl
// multi handle; that thread is the session's serial callback queue. It starts
// with the first task and is joined when the session is destroyed. The loading
// rules of UrlSession hold for every request: verified TLS 1.2 or later, https
// only (also across redirects, at most 10), the connect time-out below, and a
// stall time-out of min(stallTimeout, request.timeoutInterval) seconds without
// a single byte received, and the request's timeLimit. A transfer that ends
// while its host name is still being resolved never waits for the resolver,
// which a DNS server that does not answer can hold up for minutes. Proxy
// settings come from the environment, as libcurl reads them (https_proxy,
// no_proxy, ...).
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
