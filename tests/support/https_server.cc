#include "tests/support/https_server.h"

#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace quarn::testing {
namespace {

// Period of the generated body: a prime, so that it lines up with no
// power-of-two chunk size.
constexpr std::size_t kPatternPeriod = 65521;
// Largest piece of a generated body written at a time.
constexpr std::size_t kGeneratedPiece = 64 * 1024;

const std::string kPattern = [] {
  std::string table(kPatternPeriod, '\0');
  std::minstd_rand random;
  for (auto& byte : table) byte = static_cast<char>(random() >> 8);
  return table;
}();

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("test HTTPS server: " + what);
}

}  // namespace

std::string generatedBody(std::uint64_t offset, std::size_t length) {
  std::string bytes;
  while (bytes.size() < length) {
    const std::size_t start = (offset + bytes.size()) % kPatternPeriod;
    bytes.append(kPattern, start, std::min(length - bytes.size(), kPatternPeriod - start));
  }
  return bytes;
}

// A self-signed certificate (EC P-256) for the names asked for, valid for 30
// days, made by the openssl tool in a folder of the server's own.
HttpsServer::HttpsServer(const std::string& certificateNames, int port) {
  caFile_ = folder_.path + "/ca.pem";
  const std::string key = folder_.path + "/key.pem";
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj "
      "'/CN=quarn test server' -addext 'subjectAltName=" +
      certificateNames + "' -keyout " + key + " -out " + caFile_ + " 2>/dev/null";
  check(std::system(command.c_str()) == 0, "cannot make a certificate");

  server_ = std::make_unique<httplib::SSLServer>(caFile_.c_str(), key.c_str());
  check(server_->is_valid(), "TLS set-up failed");
  // An idle connection holds up the destructor until it times out.
  server_->set_keep_alive_timeout(1);
  const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    serve(request, response);
  };
  server_->Get(".*", handler).Post(".*", handler).Put(".*", handler);
  port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                    : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
  check(port_ > 0, "cannot listen");
  listenThread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() has no effect on a server that is not running yet.
  while (!server_->is_running()) std::this_thread::yield();
}

HttpsServer::~HttpsServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  server_->stop();
  listenThread_.join();
}

void HttpsServer::answer(const std::string& path, Answer answer) {
  std::lock_guard lock(mutex_);
  answers_[path] = std::move(answer);
}

std::vector<ReceivedRequest> HttpsServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void HttpsServer::serve(const httplib::Request& request, httplib::Response& response) {
  ReceivedRequest received{request.method,
                           request.target,
                           {request.headers.begin(), request.headers.end()},
                           request.body};
  // The HTTP layer adds the peer's and its own address as pseudo fields.
  std::erase_if(received.headers, [](const auto& field) {
    return field.first.ends_with("_ADDR") || field.first.ends_with("_PORT");
  });
  Answer answer{.status = 404};
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(received));
    const auto found = answers_.find(request.target.substr(0, request.target.find('?')));
    if (found != answers_.end()) answer = found->second;
  }
  response.status = answer.status;
  for (const auto& [name, value] : answer.headers) response.set_header(name, value);
  // Whether the server stops within `wait`.
  const auto stopsWithin = [this](std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return stopped_.wait_for(lock, wait, [this] { return stopping_; });
  };
  // The answer is written in one call, piece by piece: the HTTP layer would
  // stop asking at the announced length.
  const auto provide = [stopsWithin, answer](std::size_t, httplib::DataSink& sink) {
    if (!answer.body.empty() && !sink.write(answer.body.data(), answer.body.size())) return false;
    for (std::uint64_t offset = 0; offset < answer.generated; offset += kGeneratedPiece) {
      const std::string piece = generatedBody(
          offset, std::min<std::uint64_t>(answer.generated - offset, kGeneratedPiece));
      if (!sink.write(piece.data(), piece.size())) return false;
    }
    while (answer.drip) {
      if (stopsWithin(std::chrono::milliseconds(100)) || !sink.write(".", 1)) return false;
    }
    if (answer.stall) stopsWithin(std::chrono::hours(1));
    const std::uint64_t sent = answer.body.size() + answer.generated;
    if (answer.stall || sent < answer.length.value_or(sent)) return false;
    if (!answer.length) sink.done();
    return true;
  };
  const char* const type = "application/octet-stream";
  if (answer.length) {
    response.set_content_provider(
        *answer.length, type, [provide](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          return provide(offset, sink);
        });
  } else {
    response.set_chunked_content_provider(type, provide);
  }
}

}  // namespace quarn::testing
