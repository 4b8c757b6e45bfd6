// The libcurl UrlSession against the loopback HTTPS server. Stream tasks are
// tested through the downloads (api/file_downloader_test.cc).
#include "platform/url_session.h"

#include <gmock/gmock.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

using ::quarn::testing::HttpsServer;
using Fields = ::quarn::testing::HeaderFields;
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

// Starts a data task; its outcome arrives through the future.
std::future<Result> start(UrlSession& session, HttpRequest request) {
  auto promise = std::make_shared<std::promise<Result>>();
  session.dataTask(std::move(request), [promise, caller = std::this_thread::get_id()](
                                           auto body, auto response, auto error) {
    promise->set_value({std::move(body), std::move(response), std::move(error),
                        std::this_thread::get_id() == caller});
  });
  return promise->get_future();
}

// The outcome of a data task, waited for 10 s at most.
Result load(UrlSession& session, HttpRequest request) {
  auto outcome = start(session, std::move(request));
  if (outcome.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return outcome.get();
  ADD_FAILURE() << "no outcome within 10 s";
  return {};
}

class UrlSessionTest : public ::testing::Test {
 protected:
  Logger logger() { return Logger("com.kelvane.Orvanta.quarn", "URL Session", sink_); }
  Result load(std::string path) { return platform::load(*session_, get(server_.url(path))); }

  // Declared first: destroyed after the session, whose connections close then.
  HttpsServer server_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<UrlSession> session_ = makeUrlSession({.caFile = server_.caFile()}, logger());
};

// A request arrives with what was given, its path as written (no dot segment
// resolved, no escape decoded), repeated fields joined, and nothing of the
// client's own besides Host and, for a body, its length; the answer comes back
// whole, whatever its status, up to the most a data task keeps.
TEST_F(UrlSessionTest, RequestsArriveAsGivenAndAnswersComeBackWhole) {
  const std::tuple<std::string, std::string, Fields, std::optional<std::string>, int> cases[] = {
      {"GET", "/v1/a/b/../%2e%2e/./y?q=b%20c", {{"Accept", "a"}, {"accept", "b"}}, {}, 200},
      {"POST", "/v1/result", {{"Content-Type", "application/json"}}, R"({"m":"é"})", 201},
      {"PUT", "/echo", {}, "", 502}};
  for (const auto& [method, target, fields, body, status] : cases) {
    SCOPED_TRACE(method + " " + target);
    server_.answer(target.substr(0, target.find('?')), {.status = status, .generated = kCap});
    HttpRequest request = get(server_.url(target), method);
    request.body = body;
    for (const auto& [name, value] : fields) request.headers.add(name, value);
    const Result result = platform::load(*session_, request);
    ASSERT_TRUE(result.body && result.response);
    EXPECT_TRUE(*result.body == testing::generatedBody(0, kCap));
    EXPECT_EQ(result.response->statusCode, status);

    const auto received = server_.requests().back();
    EXPECT_EQ(std::tie(received.method, received.target, received.body),
              std::tie(method, target, body ? *body : ""));
    Fields expected = request.headers.fields();
    expected.emplace_back("Host", server_.url("").substr(std::string_view("https://").size()));
    if (body) expected.emplace_back("Content-Length", std::to_string(body->size()));
    EXPECT_THAT(received.headers, ::testing::UnorderedElementsAreArray(expected));
  }
}

// Redirects are followed, to https only and at most ten times.
TEST_F(UrlSessionTest, FollowsAtMostTenRedirectsAndOnlyToHttps) {
  const auto redirect = [](std::string location) {
    return testing::Answer{.status = 301, .headers = {{"Location", location}}};
  };
  server_.answer("/old", redirect(server_.url("/new")));
  server_.answer("/new", {.body = "moved here"});
  server_.answer("/to-plain", redirect("http://127.0.0.1:" + std::to_string(server_.port())));
  server_.answer("/loop", redirect(server_.url("/loop")));

  EXPECT_EQ(load("/old").body, "moved here");
  EXPECT_EQ(load("/to-plain").code(), url_error::kSecureConnectionRequired);
  EXPECT_EQ(load("/loop").code(), url_error::kHttpTooManyRedirects);
  EXPECT_EQ(server_.requests().size(), 3u + 11u);
}

// A task that fails delivers its error alone, on the worker thread. Untrusted
// or misnamed certificates (the server's names only 127.0.0.1), other schemes
// and malformed requests send nothing. A body is refused past the most a data
// task keeps, announced or not, and as soon as it runs past the length it
// announced. An attempted transfer that fails logs one record: host and stage
// public, path and query private, curl's code and its reason. The stall lasts
// a second of real time under a short time-out, and so does a host that
// keeps sending under a short limit on the whole transfer: it is the test.
TEST_F(UrlSessionTest, AFailedTaskDeliversItsErrorAloneAndAnAttemptSaysWhy) {
  using namespace url_error;
  server_.answer("/slow", {.body = "p", .length = 1000, .stall = true});
  server_.answer("/cut", {.body = "part of it", .length = 100000});
  server_.answer("/big", {.generated = kCap + 1});
  server_.answer("/drip", {.drip = true});
  server_.answer("/endless",
                 {.headers = {{"Content-Length", "10"}}, .generated = std::uint64_t{1} << 50});
  const auto at = [&](std::string path) { return get(server_.url(path)); };
  const auto systemTrust = makeUrlSession({}, logger());
  HttpRequest badField = at("/x"), impatient = at("/slow"), dripping = at("/drip");
  impatient.timeoutInterval = 1;
  dripping.timeLimit = 1;
  badField.headers.add("X-Injected", "a\r\nX-Other: b");
  const std::string misnamed = "https://localhost:" + std::to_string(server_.port()) + "/x";
  UrlSession* const ours = session_.get();
  const std::tuple<UrlSession*, HttpRequest, std::int64_t, const char*> cases[] = {
      {systemTrust.get(), at("/x?a=1"), kServerCertificateUntrusted, "TLS"},
      {ours, get(misnamed), kServerCertificateUntrusted, "TLS"},
      {ours, get("http://127.0.0.1:1/v1/x"), kSecureConnectionRequired, nullptr},
      {ours, badField, kUnknown, nullptr},
      {ours, impatient, kTimedOut, "time-out"},
      {ours, dripping, kTimedOut, "time-out"},
      {ours, at("/cut"), kNetworkConnectionLost, "transfer"},
      {ours, at("/big"), kDataLengthExceedsMaximum, "transfer"},
      {ours, at("/endless"), kBadServerResponse, "transfer"},
      {ours, get(HttpsServer().url("/x")), kCannotConnectToHost, "connect"}};
  for (const auto& [session, request, code, stage] : cases) {
    SCOPED_TRACE(request.url);
    sink_->clear();
    const Result result = platform::load(*session, request);
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
  EXPECT_EQ(server_.requests().size(), 5u) << "only the stalled, dripping, cut and long answers";
}

// Tasks still running when the session goes complete as cancelled, logging
// nothing: before the destructor returns, or right after the completion that
// dropped the last reference.
TEST_F(UrlSessionTest, DestroyingTheSessionCancelsItsTasks) {
  server_.answer("/slow", {.body = "first bytes", .length = 1000, .stall = true});
  for (const bool fromItsOwnCompletion : {false, true}) {
    auto session = makeUrlSession({.caFile = server_.caFile()}, logger());
    auto stalled = start(*session, get(server_.url("/slow")));
    if (fromItsOwnCompletion) {
      // The session is read before the argument takes it over (C++17).
      session->dataTask(get("not a url"),
                        [keep = std::move(session)](auto...) mutable { keep.reset(); });
    } else {
      session.reset();
      EXPECT_EQ(stalled.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    }
    ASSERT_EQ(stalled.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stalled.get().code(), url_error::kCancelled) << fromItsOwnCompletion;
  }
  EXPECT_TRUE(sink_->records().empty());
}

// A host name that no DNS server answers for ends at the transfer's limit:
// the session never waits for its resolver. A child with network and mount
// namespaces of its own asks only 127.0.0.1, which reads every query and
// answers none (the resolver waits 30 s for each of five tries); it checks the
// outcome itself and ends by its alarm after 10 s at most. Not a fixture: no
// server threads run when the child is forked.
TEST(UrlSessionResolverTest, AHostNameNeverResolvedEndsAtTheLimit) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);
    const auto replace = [](const std::string& name, const std::string& text) {
      const std::string source = "/tmp/" + name, target = "/etc/" + name;
      return std::ofstream(source) << text << std::flush &&
             mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    };
    ifreq loopback{};
    std::string_view("lo").copy(loopback.ifr_name, 2);
    loopback.ifr_flags = IFF_UP;
    const sockaddr_in dns{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    const auto* address = reinterpret_cast<const sockaddr*>(&dns);
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0 ||
        !replace("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:5\n") ||
        !replace("nsswitch.conf", "hosts: dns\n") ||
        ioctl(socket(AF_INET, SOCK_DGRAM, 0), SIOCSIFFLAGS, &loopback) != 0 ||
        bind(socket(AF_INET, SOCK_DGRAM, 0), address, sizeof dns) != 0)
      _exit(77);
    HttpRequest request = get("https://updates.quarn.test/v1/");
    request.timeLimit = 1;
    const Logger logger("s", "c", std::make_shared<testing::MemoryLogSink>());
    EXPECT_EQ(load(*makeUrlSession({}, logger), request).code(), url_error::kTimedOut);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no namespaces permitted";
  EXPECT_EQ(status, 0) << "the child's check failed, or its alarm ended its wait (status 14)";
}

}  // namespace
}  // namespace quarn::platform
