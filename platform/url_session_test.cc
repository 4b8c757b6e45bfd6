// The libcurl UrlSession against the loopback HTTPS server.
#include "platform/url_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>
#include <tuple>

#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

using ::quarn::testing::HttpsServer;
using End = ::quarn::testing::Answer::End;
using Fields = ::quarn::testing::HeaderFields;
using ::testing::Optional;

// What a task delivered: a data task's body, or a stream task's chunks.
struct Result {
  std::optional<std::string> body;
  std::string received;  // the chunks, joined
  int chunks = 0;
  std::set<std::thread::id> threads;  // of the chunk handler and the completion
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  std::int64_t code() const { return error ? error->code : 0; }
};

HttpRequest get(std::string url, std::string method = "GET") {
  HttpRequest request;
  request.url = std::move(url);
  request.method = std::move(method);
  return request;
}

// Starts a task (a stream task when `stream`, whose handler refuses chunk
// number `refuse`); its outcome arrives through the future.
std::future<Result> start(UrlSession& session, HttpRequest request, bool stream = false,
                          int refuse = 0) {
  auto result = std::make_shared<Result>();
  auto promise = std::make_shared<std::promise<Result>>();
  auto finish = [result, promise](std::optional<HttpResponse> response, std::optional<Error> e) {
    result->threads.insert(std::this_thread::get_id());
    result->response = std::move(response);
    result->error = std::move(e);
    promise->set_value(std::move(*result));
  };
  if (!stream) {
    session.dataTask(std::move(request), [result, finish](auto body, auto response, auto error) {
      result->body = std::move(body);
      finish(std::move(response), std::move(error));
    });
  } else {
    const auto onChunk = [result, refuse](std::int64_t, std::string_view chunk) {
      result->received.append(chunk);
      result->threads.insert(std::this_thread::get_id());
      return ++result->chunks != refuse;
    };
    session.streamTask(std::move(request), onChunk, finish);
  }
  return promise->get_future();
}

class UrlSessionTest : public ::testing::Test {
 protected:
  Logger logger() { return Logger("com.kelvane.Orvanta.quarn", "URL Session", sink_); }
  Result load(HttpRequest request, bool stream = false, int refuse = 0) {
    return start(*session_, std::move(request), stream, refuse).get();
  }

  // Declared first: destroyed after the session, whose connections close then.
  HttpsServer server_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<UrlSession> session_ = makeUrlSession({.caFile = server_.caFile()}, logger());
};

// A request arrives with what was given, its path as written (no dot segment
// resolved, no escape decoded), repeated fields joined, and nothing of the
// client's own besides Host and, for a body, its length; the answer comes back
// whole, whatever its status.
TEST_F(UrlSessionTest, RequestsArriveAsGivenAndAnswersComeBackWhole) {
  const std::tuple<std::string, std::string, Fields, std::optional<std::string>, int> cases[] = {
      {"GET", "/v1/a/b/../%2e%2e/./y?q=b%20c", {{"Accept", "a"}, {"accept", "b"}}, {}, 200},
      {"POST", "/v1/result", {{"Content-Type", "application/json"}}, R"({"m":"é"})", 201},
      {"PUT", "/echo", {}, "", 502}};
  for (const auto& [method, target, fields, body, status] : cases) {
    SCOPED_TRACE(method + " " + target);
    server_.answer(target.substr(0, target.find('?')), {.status = status, .body = "answer"});
    HttpRequest request = get(server_.url(target), method);
    request.body = body;
    for (const auto& [name, value] : fields) request.headers.add(name, value);
    const Result result = load(request);
    EXPECT_THAT(result.body, Optional(std::string("answer")));
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, status);

    const auto received = server_.requests().back();
    EXPECT_EQ(received.method, method);
    EXPECT_EQ(received.target, target);
    EXPECT_EQ(received.body, body.value_or(""));
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

  EXPECT_THAT(load(get(server_.url("/old"))).body, Optional(std::string("moved here")));
  EXPECT_EQ(load(get(server_.url("/to-plain"))).code(), url_error::kSecureConnectionRequired);
  EXPECT_EQ(load(get(server_.url("/loop"))).code(), url_error::kHttpTooManyRedirects);
  EXPECT_EQ(server_.requests().size(), 3u + 11u);
}

// A task that fails delivers its error alone, on the worker thread. Untrusted
// or misnamed certificates (the server's names only 127.0.0.1), other schemes
// and malformed requests send nothing. An attempted transfer that fails logs
// one record: host and stage public, path and query private, curl's code and
// text. The stalls last a second of real time under short configured
// time-outs: they are the test.
TEST_F(UrlSessionTest, AFailedTaskDeliversItsErrorAloneAndAnAttemptSaysWhy) {
  server_.answer("/slow", {.body = "p", .length = 1000, .end = End::kStall});
  server_.answer("/cut", {.body = "part of it", .length = 100000, .end = End::kClose});
  const auto systemTrust = makeUrlSession({}, logger());
  const auto stalling = makeUrlSession({.stallTimeout = 1, .caFile = server_.caFile()}, logger());
  HttpRequest badField = get(server_.url("/x")), impatient = get(server_.url("/slow"));
  badField.headers.add("X-Injected", "a\r\nX-Other: b");
  impatient.timeoutInterval = 1;
  UrlSession* const ours = session_.get();
  const std::tuple<UrlSession*, HttpRequest, std::int64_t, const char*> cases[] = {
      {systemTrust.get(), get(server_.url("/x?a=1")), url_error::kServerCertificateUntrusted,
       "TLS"},
      {ours, get("https://localhost:" + std::to_string(server_.port()) + "/x"),
       url_error::kServerCertificateUntrusted, "TLS"},
      {ours, get("http://127.0.0.1:1/v1/x"), url_error::kSecureConnectionRequired, nullptr},
      {ours, get("no scheme at all"), url_error::kBadUrl, nullptr},
      {ours, badField, url_error::kUnknown, nullptr},
      {ours, get(server_.url("/x"), "GET /y HTTP/1.1\r\n"), url_error::kUnknown, nullptr},
      {stalling.get(), get(server_.url("/slow")), url_error::kTimedOut, "time-out"},
      {ours, impatient, url_error::kTimedOut, "time-out"},
      {ours, get(server_.url("/cut")), url_error::kNetworkConnectionLost, "transfer"},
      {ours, get(HttpsServer().url("/x")), url_error::kCannotConnectToHost, "connect"}};
  for (const auto& [session, request, code, stage] : cases) {
    SCOPED_TRACE(request.url);
    sink_->clear();
    const Result result = start(*session, request).get();
    EXPECT_EQ(result.code(), code);
    EXPECT_EQ(result.body, std::nullopt);
    EXPECT_EQ(result.response, std::nullopt);
    EXPECT_FALSE(result.threads.contains(std::this_thread::get_id())) << "completed in the call";
    const auto records = sink_->records();
    ASSERT_EQ(records.size(), stage == nullptr ? 0u : 1u);
    if (stage == nullptr) continue;
    const std::size_t path = request.url.find('/', std::string_view("https://").size());
    EXPECT_THAT(records[0].redactedText,
                ::testing::MatchesRegex("Request to " + request.url.substr(8, path - 8) +
                                        " \\(path <private>\\) failed at the " + stage +
                                        " stage, curl error [1-9][0-9]*: [^<].*"));
    EXPECT_EQ(records[0].arguments[1],
              (LogArgument{request.url.substr(path), LogPrivacy::kPrivate}));
  }
  EXPECT_EQ(server_.requests().size(), 3u) << "only the stalled and cut answers";
}

// A data task keeps at most 16 MiB, announced or not; a stream task hands
// over any length, on the worker thread, and ends at once when its handler
// refuses a chunk (no failure to log) or the body runs past its announced
// length. (That the status comes with the chunks, the downloads prove.)
TEST_F(UrlSessionTest, DataTasksAreCappedStreamTasksAreNot) {
  constexpr std::uint64_t kCap = UrlSession::kMaxDataTaskBodyBytes;
  const Fields ten = {{"Content-Length", "10"}};
  // Per row: a stream task?, the body's length, the length announced, fields,
  // the chunk refused, the error.
  using Length = std::optional<std::uint64_t>;
  const std::tuple<bool, std::uint64_t, Length, Fields, int, std::int64_t> cases[] = {
      {false, kCap, kCap, {}, 0, 0},
      {false, kCap + 1, kCap + 1, {}, 0, url_error::kDataLengthExceedsMaximum},
      {false, kCap + 1, {}, {}, 0, url_error::kDataLengthExceedsMaximum},
      {true, kCap + 1, {}, {}, 0, 0},
      {true, 8 << 20, {}, {}, 2, url_error::kCancelled},
      {true, std::uint64_t{1} << 50, {}, ten, 0, url_error::kBadServerResponse},
  };
  for (const auto& [stream, length, announced, fields, refuse, code] : cases) {
    SCOPED_TRACE(::testing::Message() << stream << " " << length << " " << refuse);
    server_.answer("/big",
                   {.status = 203, .headers = fields, .generated = length, .length = announced});
    sink_->clear();
    const Result result = load(get(server_.url("/big")), stream, refuse);
    EXPECT_EQ(result.code(), code);
    EXPECT_EQ(sink_->records().size(), code != 0 && code != url_error::kCancelled) << "logged";
    EXPECT_EQ(result.response.has_value(), code == 0);
    if (stream && code != 0) {
      EXPECT_EQ(result.chunks, refuse) << "a chunk came after the end";
    }
    if (code != 0) continue;
    EXPECT_TRUE((stream ? result.received : *result.body) == testing::generatedBody(0, length));
    EXPECT_EQ(result.response->statusCode, 203);
    if (!stream) continue;
    EXPECT_EQ(result.threads.size(), 1u);
  }
}

// Tasks still running when the session goes complete as cancelled, logging
// nothing: before the destructor returns, or right after the completion that
// dropped the last reference.
TEST_F(UrlSessionTest, DestroyingTheSessionCancelsItsTasks) {
  server_.answer("/slow", {.body = "first bytes", .length = 1000, .end = End::kStall});
  for (const bool fromItsOwnCompletion : {false, true}) {
    auto session = makeUrlSession({.caFile = server_.caFile()}, logger());
    auto stalled = start(*session, get(server_.url("/slow")), true);
    if (fromItsOwnCompletion) {
      // The session is read before the argument takes it over (C++17).
      session->dataTask(get("not a url"),
                        [keep = std::move(session)](auto...) mutable { keep.reset(); });
    } else {
      session.reset();
      EXPECT_EQ(stalled.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    }
    EXPECT_EQ(stalled.get().code(), url_error::kCancelled) << fromItsOwnCompletion;
  }
  EXPECT_TRUE(sink_->records().empty());
}

}  // namespace
}  // namespace quarn::platform
