// HttpsServer: an HTTPS server that answers each path with the answer set for
// it (404 for any other path): on 127.0.0.1 at a free port for tests of the
// real URL session and for the download benchmark, and as the update service
// of the end-to-end sandbox, on 127.0.0.1 at the port given.
//
// At start it makes a fresh self-signed certificate, by default valid for the
// address 127.0.0.1 only (so "localhost" is a misnamed host), and writes it to
// caFile(), the file a client must trust, removed with the server (the openssl
// tool must be on the PATH). Every
// request is recorded.
// Connections are kept alive (an idle one closes after a second).
//
//   HttpsServer server;
//   server.answer("/v1/assets/A1/actions", {.body = R"({"actions":[]})"});
//   server.answer("/package", {.generated = 1 << 30, .length = 1 << 30});
//
// Threads: every method may be called from any thread; requests are answered
// on the server's own threads. The destructor returns promptly, ending
// stalled answers. Start-up failures throw std::runtime_error.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/scoped_temp_dir.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quarn::testing {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// The bytes of a generated body from `offset`: a fixed pattern that does not
// repeat within a chunk, so lost or reordered pieces show.
std::string generatedBody(std::uint64_t offset, std::size_t length);

// An answer: `body`, then (as writes of their own) `generated` bytes of
// generatedBody(), made while sending. It announces `length` as its
// Content-Length, whatever it sends; without `length` it is sent chunked.
// Short of `length`, it then closes the connection. With `stall`, it then
// holds the connection until the server stops; with `drip`, it first sends
// one byte every 100 ms until the server stops or the client goes.
struct Answer {
  int status = 200;
  std::string body{};
  HeaderFields headers{};
  std::uint64_t generated = 0;
  std::optional<std::uint64_t> length{};
  bool stall = false;
  bool drip = false;
};

// A request as the server received it: its target as sent (path and query).
struct ReceivedRequest {
  std::string method, target;
  HeaderFields headers;
  std::string body;
};

class HttpsServer {
 public:
  // A server whose certificate is valid for `certificateNames`, as OpenSSL
  // writes a subjectAltName ("IP:127.0.0.1", "DNS:a.example,DNS:b.example"),
  // on 127.0.0.1 at `port` (0: any free port).
  explicit HttpsServer(const std::string& certificateNames = "IP:127.0.0.1", int port = 0);
  ~HttpsServer();

  int port() const { return port_; }
  std::string url(std::string_view path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }
  const std::string& caFile() const { return caFile_; }

  // The answer to requests for `path` (the target without its query), of any
  // method, from now on; replaces the one set before.
  void answer(const std::string& path, Answer answer);
  std::vector<ReceivedRequest> requests() const;

 private:
  void serve(const httplib::Request& request, httplib::Response& response);

  const ScopedTempDir folder_;
  std::string caFile_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listenThread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable stopped_;  // wakes stalled answers
  bool stopping_ = false;
  std::map<std::string, Answer> answers_;
  std::vector<ReceivedRequest> requests_;
};

}  // namespace quarn::testing
