// ScriptedServer: an HTTPS (or plain HTTP) server on the loopback interface
// that answers from a script, for tests, benchmarks and the service simulator.
//
// The server makes its own certificate authority and server certificate at
// start (see test_certificates.h) and writes them as PEM files; caFile() is the
// file a client must trust. It listens on 127.0.0.1 and an ephemeral port by
// default. A caller scripts the requests it expects, in order, and the answer
// to each:
//
//   server.expect({"GET", "/v1/assets/A1/actions"}).respond(200, body, headers);
//   server.expect({"GET", "/pkg"}).respondWithGeneratedBody(1 << 30);
//   server.otherwise().respond(404);
//
// Every request is recorded (requests()). A request that matches no remaining
// expectation gets the otherwise() answer when one is set and is then not a
// problem; without one it is answered 500 and reported as unexpected.
// problems() also lists the expectations that are still waiting for their
// request, and requests that came out of the scripted order.
//
// This class does not depend on GoogleTest; HttpsServer (https_server.h) turns
// the problems into test failures.
//
// Threads: every method may be called from any thread; requests are answered
// on the server's own threads. Stopping (stop() or the destructor) returns
// promptly, also with a stalled answer in progress: stalled answers end, their
// connections close. Start-up failures (certificates, binding the port) throw
// std::runtime_error.
//
// Limits: methods other than GET, HEAD, POST, PUT, PATCH, DELETE and OPTIONS
// are refused by the HTTP layer with 400 and not recorded; the body of a GET
// request is not read, nor that of a POST, PUT, PATCH or DELETE request
// without Content-Length or chunked encoding (it is read to the connection's
// end). Header fields are recorded grouped by name (in order within a name),
// not in their order on the wire, and fields with an empty value are dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_certificates.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quarn::testing {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// A request as the server received it.
struct ReceivedRequest {
  std::string method;
  std::string target;       // as sent: path and query
  std::string path;         // the target's path, as sent (not decoded)
  std::string query;        // the target's query, as sent, without "?"; empty when none
  HeaderFields queryItems;  // the query's name=value items, decoded, in order
  HeaderFields headers;
  std::string body;

  // The value of a header field (name compared without regard to case);
  // repeated fields are joined by ", ".
  std::optional<std::string> header(std::string_view name) const;
};

// What a request must be to meet an expectation.
struct RequestPattern {
  RequestPattern(std::string method, std::string path,
                 std::optional<std::string> query = std::nullopt)
      : method(std::move(method)), path(std::move(path)), query(std::move(query)) {}

  std::string method;
  std::string path;                  // compared with ReceivedRequest::path
  std::optional<std::string> query;  // compared with ReceivedRequest::query; absent: any
};

// The answer to a request.
struct Answer {
  enum class Kind {
    kBody,       // status, headers, body
    kRedirect,   // status and a Location field
    kGenerated,  // `length` bytes of generatedBody(), made while sending
    kStall,      // announces `length` bytes, sends `body`, then sends nothing more
    kReset,      // announces `length` bytes, sends `body`, then resets the connection
    kExcess,     // announces and sends `body`, then sends `excess` on the connection
  };
  Kind kind = Kind::kBody;
  int status = 200;
  HeaderFields headers;
  std::string body;
  std::string location;
  std::string excess;  // kExcess: bytes beyond the announced body, in a write of their own
  std::uint64_t length = 0;
  bool chunked = false;  // kGenerated: sent in chunked encoding, with no length announced
};

// The bytes that a kGenerated answer sends, from `offset`: a fixed pattern
// that does not repeat within a chunk, so lost or reordered pieces show.
std::string generatedBody(std::uint64_t offset, std::size_t length);

class ScriptedServer;

// Sets the answer of one expectation (or of otherwise()). Each call replaces
// the answer set before.
class Expectation {
 public:
  Expectation& respond(int status, std::string body = {}, HeaderFields headers = {});
  Expectation& respond(Answer answer);
  Expectation& redirectTo(std::string location, int status = 302);
  // Sends `length` bytes of generatedBody(), made while sending (memory stays
  // flat whatever the length). `chunked`: no Content-Length, chunked encoding.
  Expectation& respondWithGeneratedBody(std::uint64_t length, int status = 200,
                                        HeaderFields headers = {}, bool chunked = false);
  // Sends the status line, the fields (Content-Length: `declaredLength`) and
  // `bodyPrefix`, then holds the connection open until the server stops.
  Expectation& stallAfter(std::string bodyPrefix, std::uint64_t declaredLength, int status = 200);
  // As stallAfter, but then resets the connection (the client sees the
  // connection lost mid-body).
  Expectation& resetAfter(std::string bodyPrefix, std::uint64_t declaredLength, int status = 200);
  // Answers `status` with `body` (its length announced), then writes `excess`
  // on the connection as though the answer went on: a client that keeps the
  // connection reads it as the start of its next answer.
  Expectation& respondWithExcess(int status, std::string body, std::string excess);
  // The expectation is met by `count` requests instead of one (no effect on
  // otherwise()).
  Expectation& times(int count);

 private:
  friend class ScriptedServer;
  struct Entry;
  Expectation(ScriptedServer* server, std::shared_ptr<Entry> entry)
      : server_(server), entry_(std::move(entry)) {}
  ScriptedServer* server_;
  std::shared_ptr<Entry> entry_;
};

class ScriptedServer {
 public:
  struct Options {
    bool tls = true;
    std::string host = "127.0.0.1";  // the address to listen on, also used by url()
    int port = 0;                    // 0: an ephemeral port
    CertificateOptions certificate;  // names in the server certificate
    // Where ca.pem, server.pem and server-key.pem are written; empty: a new
    // temporary folder, removed with the server.
    std::string certificateFolder;
    int threads = 8;  // connections served at the same time
    // Whether a connection may carry more than one request (an idle one is
    // closed after a second). Off: every answer closes its connection.
    bool keepAlive = false;
  };

  explicit ScriptedServer(Options options);
  ScriptedServer() : ScriptedServer(Options{}) {}
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  virtual ~ScriptedServer();

  int port() const { return port_; }
  // "https://127.0.0.1:<port>" + path (http for a plain server).
  std::string url(std::string_view path) const;
  // The PEM file of the authority that signed the server certificate; empty
  // for a plain server.
  const std::string& caFile() const { return caFile_; }

  // Adds an expectation after those already scripted; it answers 200 with an
  // empty body until told otherwise.
  Expectation expect(RequestPattern pattern);
  // The answer to requests that meet no expectation.
  Expectation otherwise();
  // When true (the default), a request that meets a later expectation while an
  // earlier one still waits is answered but reported as out of order.
  void setStrictOrder(bool strict);

  std::vector<ReceivedRequest> requests() const;
  // Unexpected and out-of-order requests so far, then the expectations still
  // waiting. Forgets what it returns: each problem is reported once.
  std::vector<std::string> takeProblems();

  // Stops serving: stalled answers end, open connections close. Idempotent.
  void stop();

 private:
  friend class Expectation;

  // Records `request`, finds its answer and puts it into `response`.
  void serve(const httplib::Request& request, httplib::Response& response);

  const Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listenThread_;
  std::atomic<bool> listenEnded_{false};
  int port_ = 0;
  std::string temporaryFolder_;
  std::string caFile_;

  mutable std::mutex mutex_;
  std::condition_variable stopped_;  // wakes stalled answers
  bool stopping_ = false;
  std::deque<std::shared_ptr<Expectation::Entry>> expectations_;
  std::shared_ptr<Expectation::Entry> otherwise_;
  bool strictOrder_ = true;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::string> problems_;
};

}  // namespace quarn::testing
