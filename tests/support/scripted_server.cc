#include "tests/support/scripted_server.h"

#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace quarn::testing {

struct Expectation::Answer {
  enum class Kind { kBody, kGenerated, kStall, kReset, kExcess };
  Kind kind = Kind::kBody;
  int status = 200;
  std::string body{};        // also what a stall or reset sends first
  std::uint64_t length = 0;  // generated, stall, reset: the length of the body
  HeaderFields headers{};
  std::string excess{};
  bool chunked = false;
};

struct Expectation::Entry {
  RequestPattern pattern;
  Answer answer;
  int remaining = 1;
};

namespace {

namespace fs = std::filesystem;

// Period of the generated body: a prime, so that it lines up with no
// power-of-two chunk size.
constexpr std::size_t kPatternPeriod = 65521;
// Largest piece a generated answer hands to the connection at a time.
constexpr std::size_t kGeneratedChunk = 64 * 1024;

const std::string& pattern() {
  static const std::string bytes = [] {
    std::string table(kPatternPeriod, '\0');
    std::minstd_rand random;
    for (auto& byte : table) byte = static_cast<char>(random() >> 8);
    return table;
  }();
  return bytes;
}

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("scripted server: " + what);
}

// Writes a fresh self-signed certificate for the names of `options` (EC
// P-256, valid from an hour ago for 30 days) to `certificateFile`, and its key
// to `keyFile`.
void writeCertificate(const CertificateOptions& options, const std::string& certificateFile,
                      const std::string& keyFile) {
  std::string names;
  for (const auto& name : options.dnsNames) names += ",DNS:" + name;
  for (const auto& address : options.ipAddresses) names += ",IP:" + address;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> owned(X509_new(), &X509_free);
  std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> alternativeNames(
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name,
                          names.empty() ? "" : names.c_str() + 1),
      &X509_EXTENSION_free);
  X509* const certificate = owned.get();
  X509_NAME* const subject = X509_get_subject_name(certificate);
  const auto* commonName = reinterpret_cast<const unsigned char*>("quarn test server");
  check(key && owned && alternativeNames && X509_set_version(certificate, 2) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(certificate), std::random_device()() >> 1) &&
            X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(certificate), 30L * 24 * 3600) != nullptr &&
            X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, commonName, -1, -1, 0) == 1 &&
            X509_set_issuer_name(certificate, subject) == 1 &&
            X509_set_pubkey(certificate, key.get()) == 1 &&
            X509_add_ext(certificate, alternativeNames.get(), -1) == 1 &&
            X509_sign(certificate, key.get(), EVP_sha256()) > 0,
        "cannot make a certificate");
  const auto write = [](const std::string& path, const auto& writePem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), &BIO_free);
    check(file && writePem(file.get()) == 1, "cannot write " + path);
  };
  write(certificateFile, [&](BIO* file) { return PEM_write_bio_X509(file, certificate); });
  write(keyFile, [&](BIO* file) {
    return PEM_write_bio_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

ReceivedRequest record(const httplib::Request& request) {
  ReceivedRequest received;
  received.method = request.method;
  received.target = request.target;
  const auto question = received.target.find('?');
  received.path = received.target.substr(0, question);
  if (question != std::string::npos) received.query = received.target.substr(question + 1);
  const auto& query = received.query;
  httplib::detail::split(query.data(), query.data() + query.size(), '&',
                         [&](const char* begin, const char* end) {
                           const std::string item(begin, end);
                           const auto equals = item.find('=');
                           received.queryItems.emplace_back(
                               httplib::detail::decode_url(item.substr(0, equals), true),
                               equals == std::string::npos
                                   ? ""
                                   : httplib::detail::decode_url(item.substr(equals + 1), true));
                         });
  for (const auto& [name, value] : request.headers) {
    // The HTTP layer adds the peer's and its own address as pseudo fields.
    if (name.ends_with("_ADDR") || name.ends_with("_PORT")) continue;
    received.headers.emplace_back(name, value);
  }
  received.body = request.body;
  return received;
}

std::string describe(const RequestPattern& pattern) {
  return pattern.method + " " + pattern.path + (pattern.query ? "?" + *pattern.query : "");
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [fieldName, fieldValue] : headers) {
    if (strcasecmp(fieldName.c_str(), std::string(name).c_str()) != 0) continue;
    value = value ? *value + ", " + fieldValue : fieldValue;
  }
  return value;
}

std::string generatedBody(std::uint64_t offset, std::size_t length) {
  std::string bytes;
  while (bytes.size() < length) {
    const std::size_t start = (offset + bytes.size()) % kPatternPeriod;
    bytes.append(pattern(), start, std::min(length - bytes.size(), kPatternPeriod - start));
  }
  return bytes;
}

Expectation& Expectation::set(Answer answer) {
  std::lock_guard lock(server_->mutex_);
  entry_->answer = std::move(answer);
  return *this;
}

Expectation& Expectation::respond(int status, std::string body, HeaderFields headers) {
  return set({Answer::Kind::kBody, status, std::move(body), 0, std::move(headers)});
}

Expectation& Expectation::redirectTo(std::string location, int status) {
  return respond(status, {}, {{"Location", std::move(location)}});
}

Expectation& Expectation::respondWithGeneratedBody(std::uint64_t length, int status,
                                                   HeaderFields headers, bool chunked) {
  return set({Answer::Kind::kGenerated, status, {}, length, std::move(headers), {}, chunked});
}

Expectation& Expectation::stallAfter(std::string prefix, std::uint64_t length, int status) {
  return set({Answer::Kind::kStall, status, std::move(prefix), length});
}

Expectation& Expectation::resetAfter(std::string prefix, std::uint64_t length, int status) {
  return set({Answer::Kind::kReset, status, std::move(prefix), length});
}

Expectation& Expectation::respondWithExcess(int status, std::string body, std::string excess) {
  const std::uint64_t length = body.size();
  return set({Answer::Kind::kExcess, status, std::move(body), length, {}, std::move(excess)});
}

Expectation& Expectation::times(int count) {
  std::lock_guard lock(server_->mutex_);
  entry_->remaining = count;
  return *this;
}

ScriptedServer::TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  if (!path.empty()) fs::remove_all(path, ignored);
}

ScriptedServer::ScriptedServer(Options options) : options_(std::move(options)) {
  if (options_.tls) {
    std::string folder = options_.certificateFolder;
    if (folder.empty()) {
      folder = (fs::temp_directory_path() / "quarn-test-server-XXXXXX").string();
      check(mkdtemp(folder.data()) != nullptr, "cannot create a temporary folder");
      temporaryFolder_.path = folder;
    }
    fs::create_directories(folder);
    caFile_ = folder + "/ca.pem";
    const std::string keyFile = folder + "/server-key.pem";
    writeCertificate(options_.certificate, caFile_, keyFile);
    server_ = std::make_unique<httplib::SSLServer>(caFile_.c_str(), keyFile.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  check(server_->is_valid(), "TLS set-up failed");
  // Without keep-alive, one request per connection: an idle kept-alive
  // connection holds up stop() until its time-out, kept short here.
  if (options_.keepAlive) {
    server_->set_keep_alive_timeout(1);
  } else {
    server_->set_keep_alive_max_count(1);
  }
  const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    serve(request, response);
  };
  server_->Get(".*", handler).Post(".*", handler).Put(".*", handler);
  server_->Patch(".*", handler).Delete(".*", handler).Options(".*", handler);

  // The HTTP layer listens with a backlog of 5, too few for a burst of
  // concurrent connections (the rest would wait a second for the client's
  // SYN retransmission): note the listening socket to widen it.
  int listeningSocket = -1;
  server_->set_socket_options([&listeningSocket](int socket) {
    httplib::default_socket_options(socket);
    listeningSocket = socket;
  });
  port_ = options_.port == 0 ? server_->bind_to_any_port("127.0.0.1")
          : server_->bind_to_port("127.0.0.1", options_.port) ? options_.port
                                                              : -1;
  check(port_ > 0, "cannot listen on port " + std::to_string(options_.port));
  server_->set_socket_options(httplib::default_socket_options);
  ::listen(listeningSocket, SOMAXCONN);
  listenThread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() has no effect on a server that is not running yet.
  while (!server_->is_running()) std::this_thread::yield();
}

ScriptedServer::~ScriptedServer() { stop(); }

std::string ScriptedServer::url(std::string_view path) const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

Expectation ScriptedServer::expect(RequestPattern pattern) {
  auto entry = std::make_shared<Expectation::Entry>();
  entry->pattern = std::move(pattern);
  std::lock_guard lock(mutex_);
  expectations_.push_back(entry);
  return Expectation(this, std::move(entry));
}

Expectation ScriptedServer::otherwise() {
  std::lock_guard lock(mutex_);
  if (!otherwise_) otherwise_ = std::make_shared<Expectation::Entry>();
  return Expectation(this, otherwise_);
}

void ScriptedServer::setStrictOrder(bool strict) {
  std::lock_guard lock(mutex_);
  strictOrder_ = strict;
}

std::vector<ReceivedRequest> ScriptedServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> ScriptedServer::takeProblems() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> problems = std::exchange(problems_, {});
  for (const auto& entry : expectations_) {
    if (entry->remaining <= 0) continue;
    problems.push_back(
        "missing request: " + describe(entry->pattern) +
        (entry->remaining > 1 ? " (" + std::to_string(entry->remaining) + " more expected)" : ""));
    entry->remaining = 0;
  }
  return problems;
}

void ScriptedServer::stop() {
  std::thread listenThread;  // joined by one caller only
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    listenThread = std::move(listenThread_);
  }
  stopped_.notify_all();
  server_->stop();
  if (listenThread.joinable()) listenThread.join();
}

void ScriptedServer::serve(const httplib::Request& request, httplib::Response& response) {
  using Kind = Expectation::Answer::Kind;
  ReceivedRequest received = record(request);
  const std::string described = received.method + " " + received.target;
  auto answer = std::make_shared<Expectation::Answer>();
  {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Expectation::Entry> match;
    std::shared_ptr<Expectation::Entry> firstWaiting;
    for (const auto& entry : expectations_) {
      if (entry->remaining <= 0) continue;
      if (!firstWaiting) firstWaiting = entry;
      const auto& p = entry->pattern;
      if (p.method == received.method && p.path == received.path &&
          (!p.query || *p.query == received.query)) {
        match = entry;
        break;
      }
    }
    if (match) {
      if (strictOrder_ && match != firstWaiting) {
        problems_.push_back("request out of order: " + described + " arrived while " +
                            describe(firstWaiting->pattern) + " was expected first");
      }
      --match->remaining;
      *answer = match->answer;
    } else if (otherwise_) {
      *answer = otherwise_->answer;
    } else {
      problems_.push_back("unexpected request: " + described);
      *answer = {.status = 500, .body = "Unexpected request: " + described};
    }
    requests_.push_back(std::move(received));
  }

  response.status = answer->status;
  std::string contentType = "application/octet-stream";
  for (const auto& [name, value] : answer->headers) {
    // A content provider sets the field itself.
    if (answer->kind != Kind::kBody && strcasecmp(name.c_str(), "Content-Type") == 0) {
      contentType = value;
    } else {
      response.set_header(name, value);
    }
  }
  if (answer->kind == Kind::kBody) {
    response.body = answer->body;
    return;
  }
  // The other answers are made while they are sent, `length` bytes at most
  // at a time from `offset`.
  const int socket = request.ssl != nullptr ? SSL_get_fd(request.ssl) : -1;
  const auto provide = [this, answer, socket](std::uint64_t offset, std::uint64_t length,
                                              httplib::DataSink& sink) {
    const std::string& body = answer->body;
    if (answer->kind == Kind::kGenerated) {
      const std::size_t start = offset % kPatternPeriod;
      return sink.write(pattern().data() + start,
                        std::min<std::uint64_t>({length, kGeneratedChunk, kPatternPeriod - start}));
    }
    if (answer->kind == Kind::kExcess) {
      // Two writes, so the excess travels in a TLS record of its own and a
      // client that stops at the announced length leaves it unread.
      return sink.write(body.data(), body.size()) &&
             sink.write(answer->excess.data(), answer->excess.size());
    }
    if (offset < body.size()) {
      return sink.write(body.data() + offset,
                        std::min<std::uint64_t>(length, body.size() - offset));
    }
    if (answer->kind == Kind::kReset && socket >= 0) {
      // With a zero linger time, closing the socket resets the connection
      // instead of ending it in order.
      const linger abortive{1, 0};
      setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else if (answer->kind == Kind::kStall) {
      std::unique_lock lock(mutex_);
      stopped_.wait(lock, [this] { return stopping_; });
    }
    return false;
  };
  if (answer->chunked) {
    response.set_chunked_content_provider(
        contentType, [provide, answer](std::size_t offset, httplib::DataSink& sink) {
          if (offset < answer->length) return provide(offset, answer->length - offset, sink);
          sink.done();
          return true;
        });
  } else {
    response.set_content_provider(answer->length, contentType, provide);
  }
}

}  // namespace quarn::testing
