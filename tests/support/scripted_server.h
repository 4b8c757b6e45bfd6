// ScriptedServer: an HTTPS (or plain HTTP) server on 127.0.0.1 that answers
// from a script, for tests and benchmarks.
//
// At start the server makes a fresh self-signed certificate and writes it as
// PEM files; caFile() is the file a client must trust. A caller scripts the
// requests it expects, in order, and the answer to each:
//
//   server.expect({"GET", "/v1/assets/A1/actions"}).respond(200, body, headers);
//   server.expect({"GET", "/pkg"}).respondWithGeneratedBody(1 << 30);
//   server.otherwise().respond(404);
//
// Every request is recorded (requests()). A request that matches no remaining
// expectation gets the otherwise() answer when one is set; without one it is
// answered 500 and reported as unexpected. takeProblems() also lists requests
// that came out of the scripted order and the expectations still waiting.
// HttpsServer (https_server.h) turns the problems into test failures; this
// class does not depend on GoogleTest.
//
// Threads: every method may be called from any thread; requests are answered
// on the server's own threads. stop() (also the destructor) returns promptly,
// ending stalled answers. Start-up failures throw std::runtime_error.
//
// Limits of the HTTP layer: only GET, POST, PUT, PATCH, DELETE and OPTIONS
// are served; the body of a GET request is not read; header fields are
// recorded grouped by name, and fields with an empty value are dropped.
#pragma once

#include <condition_variable>
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

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quarn::testing {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The names the server certificate is valid for.
struct CertificateOptions {
  std::vector<std::string> dnsNames = {"localhost"};
  std::vector<std::string> ipAddresses = {"127.0.0.1"};
};

// A request as the server received it.
struct ReceivedRequest {
  std::string method;
  std::string target;       // as sent: path and query
  std::string path;         // the target's path, as sent (not decoded)
  std::string query;        // the target's query, as sent, without "?"
  HeaderFields queryItems;  // the query's name=value items, form-decoded, in order
  HeaderFields headers;
  std::string body;

  // The value of a header field (name compared without regard to case);
  // repeated fields are joined by ", ".
  std::optional<std::string> header(std::string_view name) const;
};

// What a request must be to meet an expectation.
struct RequestPattern {
  std::string method{};
  std::string path{};                  // compared with ReceivedRequest::path
  std::optional<std::string> query{};  // compared with ReceivedRequest::query; absent: any
};

// The bytes a generated answer sends, from `offset`: a fixed pattern that does
// not repeat within a chunk, so lost or reordered pieces show.
std::string generatedBody(std::uint64_t offset, std::size_t length);

class ScriptedServer;

// Sets the answer of one expectation (or of otherwise()); each call replaces
// the answer set before.
class Expectation {
 public:
  Expectation& respond(int status, std::string body = {}, HeaderFields headers = {});
  Expectation& redirectTo(std::string location, int status = 302);
  // `length` bytes of generatedBody(), made while sending, so memory stays
  // flat. `chunked`: chunked encoding, no Content-Length.
  Expectation& respondWithGeneratedBody(std::uint64_t length, int status = 200,
                                        HeaderFields headers = {}, bool chunked = false);
  // Announces `length` bytes, sends `prefix`, then holds the
  // connection open until the server stops.
  Expectation& stallAfter(std::string prefix, std::uint64_t length, int status = 200);
  // As stallAfter, but then resets the connection.
  Expectation& resetAfter(std::string prefix, std::uint64_t length, int status = 200);
  // Answers `status` with `body` (its length announced), then writes `excess`
  // on the connection, which a client that keeps the connection reads as the
  // start of its next answer.
  Expectation& respondWithExcess(int status, std::string body, std::string excess);
  // Met by `count` requests instead of one (no effect on otherwise()).
  Expectation& times(int count);

 private:
  friend class ScriptedServer;
  struct Answer;
  struct Entry;
  Expectation(ScriptedServer* server, std::shared_ptr<Entry> entry)
      : server_(server), entry_(std::move(entry)) {}
  Expectation& set(Answer answer);

  ScriptedServer* server_;
  std::shared_ptr<Entry> entry_;
};

class ScriptedServer {
 public:
  struct Options {
    bool tls = true;
    int port = 0;  // 0: an ephemeral port
    CertificateOptions certificate;
    // Where ca.pem (the certificate) and server-key.pem are written; empty: a
    // temporary folder, removed with the server.
    std::string certificateFolder;
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
  // The PEM file of the certificate to trust; empty for a plain server.
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
  // waiting. Each problem is returned once.
  std::vector<std::string> takeProblems();

  // Stops serving: stalled answers end, open connections close. Idempotent.
  void stop();

 private:
  friend class Expectation;
  // Removes the folder at `path`, when set, with the server.
  struct TemporaryFolder {
    std::string path;
    ~TemporaryFolder();
  };

  void serve(const httplib::Request& request, httplib::Response& response);

  const Options options_;
  TemporaryFolder temporaryFolder_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listenThread_;
  int port_ = 0;
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
