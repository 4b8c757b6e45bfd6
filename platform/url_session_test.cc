// The libcurl UrlSession against the loopback HTTPS server. Stream tasks are
// tested through the downloads (api/file_downloader_test.cc).
#include "platform/url_session.h"

#include <gmock/gmock.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/private_mounts.h"

namespace quarn::platform {
namespace {

constexpr std::uint64_t kCap = UrlSession::kMaxDataTaskBodyBytes;

// What a data task delivered, and whether it completed inside dataTask().
struct Result {
  std::optional<std::string> body;
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  bool inCall = false;
  std::int64_t code() const { return error ? error->code : 0; }
};

HttpRequest get(std::string url, std::string method = "GET") {
  HttpRequest request;
  request.url = std::move(url);
  request.method = std::move(method);
  return request;
}

// The outcome of a data task, waited for 10 s at most.
Result load(UrlSession& session, HttpRequest request) {
  auto promise = std::make_shared<std::promise<Result>>();
  auto outcome = promise->get_future();
  session.dataTask(std::move(request), [promise, caller = std::this_thread::get_id()](
                                           auto body, auto response, auto error) {
    promise->set_value({std::move(body), std::move(response), std::move(error),
                        std::this_thread::get_id() == caller});
  });
  if (outcome.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return outcome.get();
  ADD_FAILURE() << "no outcome within 10 s";
  return {};
}

class UrlSessionTest : public ::testing::Test {
 protected:
  Logger logger() { return Logger("com.kelvane.Orvanta.quarn", "URL Session", sink_); }

  // Declared first: destroyed after the session, whose connections close then.
  testing::HttpsServer server_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<UrlSession> session_ = makeUrlSession({.caFile = server_.caFile()}, logger());
};

// A request arrives with what was given, its path as written (no dot segment
// resolved, no escape decoded), a repeated field joined, and nothing of the
// client's own besides Host and its body's length; the answer comes back whole,
// whatever its status, up to the most a data task keeps. (GET and POST, the
// service's methods, are the end-to-end rows' requests; redirects are followed,
// see the failures.)
TEST_F(UrlSessionTest, RequestsArriveAsGivenAndAnswersComeBackWhole) {
  const std::string target = "/v1/a/b/../%2e%2e/./y?q=b%20c";
  server_.answer(target.substr(0, target.find('?')), {.status = 502, .generated = kCap});
  HttpRequest request = get(server_.url(target), "PUT");
  request.headers.add("X-Field", "a");
  request.headers.add("x-field", "b");
  request.body = R"({"m":"é"})";
  const Result result = platform::load(*session_, request);
  ASSERT_TRUE(result.body && result.response);
  EXPECT_TRUE(*result.body == testing::generatedBody(0, kCap));
  EXPECT_EQ(result.response->statusCode, 502);

  const auto received = server_.requests().back();
  EXPECT_EQ(std::tie(received.method, received.target, received.body),
            std::make_tuple("PUT", target, *request.body));
  const testing::HeaderFields expected = {{"X-Field", "a, b"},
                                          {"Host", "127.0.0.1:" + std::to_string(server_.port())},
                                          {"Content-Length", "10"}};  // bytes, not characters
  EXPECT_THAT(received.headers, ::testing::UnorderedElementsAreArray(expected));
}

// A task that fails delivers its error alone, on the worker thread. Untrusted
// (another server's) or misnamed certificates (the server's names only
// 127.0.0.1), other schemes and malformed requests send nothing. Redirects are
// followed only to https and at most ten times. A body is refused past the
// most a data task keeps, announced or not, and as soon as it runs past the
// length it announced. An attempted transfer that fails logs one record: host
// and stage public, path and query private, curl's code and its reason. The
// stall lasts a second of real time under a short time-out, and so does a
// host that keeps sending under a short limit on the whole transfer: it is the
// test.
TEST_F(UrlSessionTest, AFailedTaskDeliversItsErrorAloneAndAnAttemptSaysWhy) {
  using namespace url_error;
  server_.answer("/slow", {.body = "p", .length = 1000, .stall = true});
  server_.answer("/cut", {.body = "part of it", .length = 100000});
  server_.answer("/big", {.generated = kCap + 1});
  server_.answer("/drip", {.drip = true});
  server_.answer("/endless", {.headers = {{"Content-Length", "10"}}, .generated = 1ULL << 50});
  const std::string plain = "http" + server_.url("/to-plain").substr(5);
  server_.answer("/to-plain", {.status = 301, .headers = {{"Location", plain}}});
  server_.answer("/loop", {.status = 301, .headers = {{"Location", server_.url("/loop")}}});
  const auto at = [&](std::string path) { return get(server_.url(path)); };
  const testing::HttpsServer other;  // its certificate is not the one the session trusts
  HttpRequest badField = at("/x"), impatient = at("/slow"), dripping = at("/drip");
  impatient.timeoutInterval = 1;
  dripping.timeLimit = 1;
  badField.headers.add("X-Injected", "a\r\nX-Other: b");
  const std::string misnamed = "https://localhost:" + std::to_string(server_.port()) + "/x";
  const std::tuple<HttpRequest, std::int64_t, const char*> cases[] = {
      {get(other.url("/x?a=1")), kServerCertificateUntrusted, "TLS"},
      {get(misnamed), kServerCertificateUntrusted, "TLS"},
      {get("http://127.0.0.1:1/v1/x"), kSecureConnectionRequired, nullptr},
      {badField, kUnknown, nullptr},
      {impatient, kTimedOut, "time-out"},
      {dripping, kTimedOut, "time-out"},
      {at("/to-plain"), kSecureConnectionRequired, "transfer"},
      {at("/loop"), kHttpTooManyRedirects, "transfer"},
      {at("/cut"), kNetworkConnectionLost, "transfer"},
      {at("/big"), kDataLengthExceedsMaximum, "transfer"},
      {at("/endless"), kBadServerResponse, "transfer"},
      {get(testing::HttpsServer().url("/x")), kCannotConnectToHost, "connect"}};
  for (const auto& [request, code, stage] : cases) {
    SCOPED_TRACE(request.url);
    sink_->clear();
    const Result result = platform::load(*session_, request);
    EXPECT_EQ(result.code(), code);
    EXPECT_TRUE(!result.body && !result.response && !result.inCall) << "the error comes alone";
    const auto records = sink_->records();
    ASSERT_EQ(records.size(), stage == nullptr ? 0u : 1u);
    if (stage == nullptr) continue;
    const std::size_t path = request.url.find('/', std::string_view("https://").size());
    EXPECT_THAT(records[0].redactedText,
                ::testing::MatchesRegex("Request to " + request.url.substr(8, path - 8) +
                                        " \\(path <private>\\) failed at the " + stage +
                                        " stage, curl error [1-9][0-9]*: [^<].*"));
    EXPECT_EQ(records[0].arguments[1],
              (LogArgument{request.url.substr(path), LogPrivacy::privateValue}));
  }
  EXPECT_EQ(server_.requests().size(), 5u + 1u + 11u)
      << "only the stalled, dripping, cut and long answers, and the redirects (ten at most)";
}

// A host name that no DNS server answers for ends at the transfer's limit:
// the session never waits for its resolver. A child with network and mount
// namespaces of its own asks only 127.0.0.1, which reads every query and
// answers none (the resolver waits 30 s for each of five tries); it checks the
// outcome itself and ends by its alarm after 10 s at most. Not a fixture: no
// server threads run when the child is forked.
TEST(UrlSessionResolverTest, AHostNameNeverResolvedEndsAtTheLimit) {
  const bool ran = testing::inPrivateMounts(CLONE_NEWNET, "/etc", 10, [] {
    ifreq loopback{};
    std::string_view("lo").copy(loopback.ifr_name, 2);
    loopback.ifr_flags = IFF_UP;
    const sockaddr_in dns{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    const auto* address = reinterpret_cast<const sockaddr*>(&dns);
    if (ioctl(socket(AF_INET, SOCK_DGRAM, 0), SIOCSIFFLAGS, &loopback) != 0 ||
        bind(socket(AF_INET, SOCK_DGRAM, 0), address, sizeof dns) != 0)
      _exit(testing::kNamespacesRefused);
    // An /etc of its own: names come from DNS alone, asked of 127.0.0.1.
    std::ofstream("/etc/nsswitch.conf") << "hosts: dns\n";
    std::ofstream("/etc/resolv.conf") << "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n";
    HttpRequest request = get("https://updates.quarn.test/v1/");
    request.timeLimit = 1;
    const Logger logger("s", "c", std::make_shared<testing::MemoryLogSink>());
    EXPECT_EQ(load(*makeUrlSession({}, logger), request).code(), url_error::kTimedOut);
  });
  if (!ran) GTEST_SKIP() << "no namespaces permitted";
}

}  // namespace
}  // namespace quarn::platform
