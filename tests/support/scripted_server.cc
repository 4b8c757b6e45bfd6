#include "tests/support/scripted_server.h"

#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quarn::testing {

struct Expectation::Entry {
  RequestPattern pattern{"", ""};
  Answer answer;
  int remaining = 1;
};

namespace {

// Period of the generated body pattern: a prime, so that it lines up with no
// power-of-two chunk size.
constexpr std::size_t kPatternPeriod = 65521;
// Largest piece handed to the connection at a time by a generated answer.
constexpr std::size_t kGeneratedChunk = 64 * 1024;

const std::array<char, kPatternPeriod>& pattern() {
  static const auto table = [] {
    std::array<char, kPatternPeriod> bytes{};
    std::uint32_t state = 0x9e3779b9u;
    for (auto& byte : bytes) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = static_cast<char>(state & 0xff);
    }
    return bytes;
  }();
  return table;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form decoding: "+" is a space, "%XY" a byte; a broken escape stays as is.
std::string decodeQueryPart(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

HeaderFields decodeQuery(std::string_view query) {
  HeaderFields items;
  while (!query.empty()) {
    const auto end = query.find('&');
    const auto item = query.substr(0, end);
    if (!item.empty()) {
      const auto equals = item.find('=');
      items.emplace_back(decodeQueryPart(item.substr(0, equals)),
                         equals == std::string_view::npos
                             ? std::string()
                             : decodeQueryPart(item.substr(equals + 1)));
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return items;
}

ReceivedRequest record(const httplib::Request& request) {
  ReceivedRequest received;
  received.method = request.method;
  received.target = request.target;
  const auto question = received.target.find('?');
  received.path = received.target.substr(0, question);
  if (question != std::string::npos) received.query = received.target.substr(question + 1);
  received.queryItems = decodeQuery(received.query);
  for (const auto& [name, value] : request.headers) {
    // The HTTP layer adds the peer's and its own address as pseudo fields.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    received.headers.emplace_back(name, value);
  }
  received.body = request.body;
  return received;
}

std::string describe(std::string_view method, std::string_view path,
                     const std::optional<std::string>& query) {
  std::string text = std::string(method) + " " + std::string(path);
  if (query) text += "?" + *query;
  return text;
}

std::string describe(const ReceivedRequest& request) {
  return request.method + " " + request.target;
}

bool matches(const RequestPattern& pattern, const ReceivedRequest& request) {
  return pattern.method == request.method && pattern.path == request.path &&
         (!pattern.query || *pattern.query == request.query);
}

void writeFile(const std::filesystem::path& path, const std::string& contents,
               std::filesystem::perms permissions) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
  std::filesystem::permissions(path, permissions);
}

struct Free {
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};

std::unique_ptr<httplib::Server> makeTlsServer(const TestCertificates& certificates) {
  std::unique_ptr<BIO, Free> certificateBio(
      BIO_new_mem_buf(certificates.serverCertificatePem.data(),
                      static_cast<int>(certificates.serverCertificatePem.size())));
  std::unique_ptr<BIO, Free> keyBio(BIO_new_mem_buf(
      certificates.serverKeyPem.data(), static_cast<int>(certificates.serverKeyPem.size())));
  if (!certificateBio || !keyBio) throw std::runtime_error("scripted server: out of memory");
  std::unique_ptr<X509, Free> certificate(
      PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
  std::unique_ptr<EVP_PKEY, Free> key(
      PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  if (!certificate || !key) throw std::runtime_error("scripted server: cannot read certificates");
  // The server takes its own references to both.
  auto server = std::make_unique<httplib::SSLServer>(certificate.get(), key.get());
  if (!server->is_valid()) throw std::runtime_error("scripted server: TLS set-up failed");
  return server;
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [fieldName, fieldValue] : headers) {
    if (!equalsIgnoringCase(fieldName, name)) continue;
    value = value ? *value + ", " + fieldValue : fieldValue;
  }
  return value;
}

std::string generatedBody(std::uint64_t offset, std::size_t length) {
  const auto& table = pattern();
  std::string bytes;
  bytes.reserve(length);
  while (bytes.size() < length) {
    const auto start = static_cast<std::size_t>((offset + bytes.size()) % kPatternPeriod);
    const auto count = std::min(length - bytes.size(), kPatternPeriod - start);
    bytes.append(table.data() + start, count);
  }
  return bytes;
}

Expectation& Expectation::respond(Answer answer) {
  std::lock_guard lock(server_->mutex_);
  entry_->answer = std::move(answer);
  return *this;
}

Expectation& Expectation::respond(int status, std::string body, HeaderFields headers) {
  Answer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.headers = std::move(headers);
  return respond(std::move(answer));
}

Expectation& Expectation::redirectTo(std::string location, int status) {
  Answer answer;
  answer.kind = Answer::Kind::kRedirect;
  answer.status = status;
  answer.location = std::move(location);
  return respond(std::move(answer));
}

Expectation& Expectation::respondWithGeneratedBody(std::uint64_t length, int status,
                                                   HeaderFields headers, bool chunked) {
  Answer answer;
  answer.kind = Answer::Kind::kGenerated;
  answer.chunked = chunked;
  answer.status = status;
  answer.length = length;
  answer.headers = std::move(headers);
  return respond(std::move(answer));
}

Expectation& Expectation::stallAfter(std::string bodyPrefix, std::uint64_t declaredLength,
                                     int status) {
  Answer answer;
  answer.kind = Answer::Kind::kStall;
  answer.status = status;
  answer.body = std::move(bodyPrefix);
  answer.length = declaredLength;
  return respond(std::move(answer));
}

Expectation& Expectation::resetAfter(std::string bodyPrefix, std::uint64_t declaredLength,
                                     int status) {
  Answer answer;
  answer.kind = Answer::Kind::kReset;
  answer.status = status;
  answer.body = std::move(bodyPrefix);
  answer.length = declaredLength;
  return respond(std::move(answer));
}

Expectation& Expectation::respondWithExcess(int status, std::string body, std::string excess) {
  Answer answer;
  answer.kind = Answer::Kind::kExcess;
  answer.status = status;
  answer.body = std::move(body);
  answer.excess = std::move(excess);
  return respond(std::move(answer));
}

Expectation& Expectation::times(int count) {
  std::lock_guard lock(server_->mutex_);
  entry_->remaining = count;
  return *this;
}

ScriptedServer::ScriptedServer(Options options) : options_(std::move(options)) {
  if (options_.tls) {
    const TestCertificates certificates = makeTestCertificates(options_.certificate);
    std::filesystem::path folder = options_.certificateFolder;
    if (folder.empty()) {
      std::string pattern =
          (std::filesystem::temp_directory_path() / "quarn-test-server-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("scripted server: cannot create a temporary folder");
      }
      temporaryFolder_ = pattern;
      folder = pattern;
    } else {
      std::filesystem::create_directories(folder);
    }
    using std::filesystem::perms;
    const auto readable =
        perms::owner_read | perms::owner_write | perms::group_read | perms::others_read;
    writeFile(folder / "ca.pem", certificates.caCertificatePem, readable);
    writeFile(folder / "server.pem", certificates.serverCertificatePem, readable);
    writeFile(folder / "server-key.pem", certificates.serverKeyPem,
              perms::owner_read | perms::owner_write);
    caFile_ = (folder / "ca.pem").string();
    server_ = makeTlsServer(certificates);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }

  const int threads = std::max(1, options_.threads);
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
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
  const std::string all = ".*";
  server_->Get(all, handler);
  server_->Post(all, handler);
  server_->Put(all, handler);
  server_->Patch(all, handler);
  server_->Delete(all, handler);
  server_->Options(all, handler);

  // The HTTP layer listens with a backlog of 5, too few for a burst of
  // concurrent connections (the rest would wait for the client's SYN
  // retransmission, a second later): note the listening socket to widen it.
  int listeningSocket = -1;
  server_->set_socket_options([&listeningSocket](int socket) {
    httplib::default_socket_options(socket);
    listeningSocket = socket;
  });
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
  } else if (server_->bind_to_port(options_.host, options_.port)) {
    port_ = options_.port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    if (!temporaryFolder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(temporaryFolder_, ignored);
    }
    throw std::runtime_error("scripted server: cannot listen on " + options_.host + ":" +
                             std::to_string(options_.port));
  }
  server_->set_socket_options(httplib::default_socket_options);
  if (listeningSocket >= 0) ::listen(listeningSocket, SOMAXCONN);
  listenThread_ = std::thread([this] {
    server_->listen_after_bind();
    listenEnded_ = true;
  });
  // stop() has no effect on a server that is not running yet, so wait until it
  // is (the socket already accepts connections: this is a matter of moments).
  while (!server_->is_running() && !listenEnded_) std::this_thread::yield();
}

ScriptedServer::~ScriptedServer() {
  stop();
  if (!temporaryFolder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(temporaryFolder_, ignored);
  }
}

std::string ScriptedServer::url(std::string_view path) const {
  return std::string(options_.tls ? "https://" : "http://") + options_.host + ":" +
         std::to_string(port_) + std::string(path);
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
  std::vector<std::string> problems = std::move(problems_);
  problems_.clear();
  for (const auto& entry : expectations_) {
    if (entry->remaining <= 0) continue;
    const auto& p = entry->pattern;
    problems.push_back(
        "missing request: " + describe(p.method, p.path, p.query) +
        (entry->remaining > 1 ? " (" + std::to_string(entry->remaining) + " more expected)" : ""));
    entry->remaining = 0;
  }
  return problems;
}

void ScriptedServer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  server_->stop();
  // Only one caller joins; any other returns once stop() above has begun.
  std::thread listenThread;
  {
    std::lock_guard lock(mutex_);
    listenThread = std::move(listenThread_);
  }
  if (listenThread.joinable()) listenThread.join();
}

void ScriptedServer::serve(const httplib::Request& request, httplib::Response& response) {
  ReceivedRequest received = record(request);
  Answer answer;
  {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Expectation::Entry> match;
    std::shared_ptr<Expectation::Entry> firstWaiting;
    for (const auto& entry : expectations_) {
      if (entry->remaining <= 0) continue;
      if (!firstWaiting) firstWaiting = entry;
      if (matches(entry->pattern, received)) {
        match = entry;
        break;
      }
    }
    if (match) {
      if (strictOrder_ && match != firstWaiting) {
        const auto& p = firstWaiting->pattern;
        problems_.push_back("request out of order: " + describe(received) + " arrived while " +
                            describe(p.method, p.path, p.query) + " was expected first");
      }
      --match->remaining;
      answer = match->answer;
    } else if (otherwise_) {
      answer = otherwise_->answer;
    } else {
      problems_.push_back("unexpected request: " + describe(received));
      answer.status = 500;
      answer.body = "Unexpected request: " + describe(received);
    }
    requests_.push_back(std::move(received));
  }

  response.status = answer.status;
  std::string contentType = "application/octet-stream";
  for (const auto& [name, value] : answer.headers) {
    if (answer.kind != Answer::Kind::kBody && equalsIgnoringCase(name, "Content-Type")) {
      contentType = value;  // the content provider sets the field
      continue;
    }
    response.set_header(name, value);
  }

  switch (answer.kind) {
    case Answer::Kind::kBody:
      response.body = std::move(answer.body);
      break;
    case Answer::Kind::kRedirect:
      response.set_redirect(answer.location, answer.status);
      break;
    case Answer::Kind::kGenerated: {
      // Writes the next piece of the pattern from `offset`, at most `left`.
      const auto writeFrom = [](std::uint64_t offset, std::uint64_t left, httplib::DataSink& sink) {
        const std::size_t start = offset % kPatternPeriod;
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>({left, kGeneratedChunk, kPatternPeriod - start}));
        return sink.write(pattern().data() + start, count);
      };
      if (answer.chunked) {
        response.set_chunked_content_provider(
            contentType,
            [writeFrom, total = answer.length](std::size_t offset, httplib::DataSink& sink) {
              if (offset >= total) {
                sink.done();
                return true;
              }
              return writeFrom(offset, total - offset, sink);
            });
      } else {
        response.set_content_provider(
            answer.length, contentType,
            [writeFrom](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              return writeFrom(offset, length, sink);
            });
      }
      break;
    }
    case Answer::Kind::kExcess: {
      // Two writes, so the excess travels in a TLS record of its own and a
      // client that stops at the announced length leaves it unread.
      auto bytes = std::make_shared<std::pair<std::string, std::string>>(std::move(answer.body),
                                                                         std::move(answer.excess));
      response.set_content_provider(bytes->first.size(), contentType,
                                    [bytes](std::size_t, std::size_t, httplib::DataSink& sink) {
                                      return sink.write(bytes->first.data(), bytes->first.size()) &&
                                             sink.write(bytes->second.data(), bytes->second.size());
                                    });
      break;
    }
    case Answer::Kind::kStall:
    case Answer::Kind::kReset: {
      const bool reset = answer.kind == Answer::Kind::kReset;
      const int socket = request.ssl != nullptr ? SSL_get_fd(request.ssl) : -1;
      auto prefix = std::make_shared<std::string>(std::move(answer.body));
      response.set_content_provider(
          answer.length, contentType,
          [this, prefix, reset, socket](std::size_t offset, std::size_t length,
                                        httplib::DataSink& sink) {
            if (offset < prefix->size()) {
              return sink.write(prefix->data() + offset, std::min(length, prefix->size() - offset));
            }
            if (reset) {
              // With a zero linger time, closing the socket resets the
              // connection instead of ending it in order.
              if (socket >= 0) {
                const linger abortive{1, 0};
                setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
              }
              return false;
            }
            std::unique_lock lock(mutex_);
            stopped_.wait(lock, [this] { return stopping_; });
            return false;
          });
      break;
    }
  }
}

}  // namespace quarn::testing
