// Tests of the libcurl UrlSession against the scripted loopback HTTPS server.
#include "platform/url_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::platform {
namespace {

using ::quarn::testing::HeaderFields;
using ::quarn::testing::HttpsServer;
using ::quarn::testing::ScriptedServer;
using ::testing::ElementsAre;
using ::testing::Optional;
using Field = std::pair<std::string, std::string>;

// Guards a whole wait on the session, so that a broken test fails instead of
// hanging; never an expectation about how long a transfer takes.
constexpr auto kHangGuard = std::chrono::seconds(60);

struct DataResult {
  std::optional<std::string> body;
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  std::thread::id thread;
};

struct StreamResult {
  std::string received;  // the chunks, joined
  int chunks = 0;
  std::set<std::int64_t> statuses;  // handed with the chunks
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  std::thread::id completionThread;
  std::set<std::thread::id> chunkThreads;
};

HttpRequest get(std::string url) {
  HttpRequest request;
  request.url = std::move(url);
  return request;
}

template <class T>
T await(std::future<T>& future) {
  if (future.wait_for(kHangGuard) != std::future_status::ready) {
    ADD_FAILURE() << "the session did not complete the task";
    return T{};
  }
  return future.get();
}

// Starts a data task; its outcome arrives through the future. `inCompletion`
// runs first in the completion.
std::future<DataResult> startData(
    UrlSession& session, HttpRequest request, std::function<void()> inCompletion = [] {}) {
  auto promise = std::make_shared<std::promise<DataResult>>();
  auto future = promise->get_future();
  session.dataTask(std::move(request), [promise, inCompletion](std::optional<std::string> body,
                                                               std::optional<HttpResponse> response,
                                                               std::optional<Error> error) {
    inCompletion();
    promise->set_value(DataResult{std::move(body), std::move(response), std::move(error),
                                  std::this_thread::get_id()});
  });
  return future;
}

DataResult load(UrlSession& session, HttpRequest request) {
  auto future = startData(session, std::move(request));
  return await(future);
}

// `abortAfter`: the chunk handler returns false on that chunk (1-based).
StreamResult stream(UrlSession& session, HttpRequest request, int abortAfter = 0) {
  auto result = std::make_shared<StreamResult>();
  auto promise = std::make_shared<std::promise<void>>();
  auto future = promise->get_future();
  session.streamTask(
      std::move(request),
      [result, abortAfter](std::int64_t status, std::string_view chunk) {
        result->received.append(chunk);
        result->statuses.insert(status);
        result->chunkThreads.insert(std::this_thread::get_id());
        return ++result->chunks != abortAfter;
      },
      [result, promise](std::optional<HttpResponse> response, std::optional<Error> error) {
        result->response = std::move(response);
        result->error = std::move(error);
        result->completionThread = std::this_thread::get_id();
        promise->set_value();
      });
  await(future);
  return std::move(*result);
}

// Starts a stream task on a stalling answer and returns once its first chunk
// has arrived, so the task is surely in flight.
void startStalledStream(UrlSession& session, const std::string& url,
                        UrlSession::StreamCompletion completion) {
  auto arrived = std::make_shared<std::promise<void>>();
  auto future = arrived->get_future();
  session.streamTask(
      get(url),
      [arrived, fired = false](std::int64_t, std::string_view) mutable {
        if (!fired) arrived->set_value();
        fired = true;
        return true;
      },
      std::move(completion));
  ASSERT_EQ(future.wait_for(kHangGuard), std::future_status::ready);
}

std::set<std::string> lowerCaseNames(const HeaderFields& fields) {
  std::set<std::string> names;
  for (const auto& [name, value] : fields) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.insert(lower);
  }
  return names;
}

std::int64_t errorCode(const std::optional<Error>& error) { return error ? error->code : 0; }

class UrlSessionTest : public ::testing::Test {
 protected:
  UrlSessionOptions options() {
    UrlSessionOptions options;
    options.caFile = server_.caFile();
    return options;
  }

  Logger logger() { return Logger("com.kelvane.Orvanta.quarn", "URL Session", sink_); }

  // Declared first: destroyed after the session, whose connections close then.
  HttpsServer server_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<UrlSession> session_ = makeUrlSession(options(), logger());
};

// A task that must fail with the URL error `code`, on `session`, and log the
// failure at `stage`, or log nothing when `stage` is null.
struct FailureCase {
  const char* name;
  UrlSession* session;
  HttpRequest request;
  std::int64_t code;
  const char* stage = nullptr;
};

// Runs `c`: the task fails with its error alone, and `sink` receives the
// record it should: the host and the stage public, the path and query private,
// curl's code and text public.
void expectFailure(const FailureCase& c, testing::MemoryLogSink& sink) {
  SCOPED_TRACE(c.name);
  sink.clear();
  const DataResult result = load(*c.session, c.request);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code, c.code);
  EXPECT_EQ(result.error->domain, kUrlErrorDomain);
  EXPECT_FALSE(result.error->description.empty());
  EXPECT_EQ(result.body, std::nullopt);
  EXPECT_EQ(result.response, std::nullopt);

  const auto records = sink.records();
  if (c.stage == nullptr) {
    EXPECT_TRUE(records.empty()) << records.front().text;
    return;
  }
  ASSERT_EQ(records.size(), 1u);
  const std::string& url = c.request.url;  // https://<host>/<path>
  const std::size_t pathStart = url.find('/', std::string_view("https://").size());
  const std::string host = url.substr(8, pathStart - 8);
  const std::string path = url.substr(pathStart);
  EXPECT_EQ(records[0].category, "URL Session");
  EXPECT_THAT(records[0].redactedText,
              ::testing::StartsWith("Request to " + host + " (path <private>) failed at the " +
                                    c.stage + " stage, curl error "));
  ASSERT_EQ(records[0].arguments.size(), 5u);
  EXPECT_EQ(records[0].arguments[1], (LogArgument{path, LogPrivacy::kPrivate}));
  EXPECT_EQ(records[0].arguments[3].privacy, LogPrivacy::kPublic);
  EXPECT_GT(std::get<std::int64_t>(records[0].arguments[3].value), 0);
  EXPECT_EQ(records[0].arguments[4].privacy, LogPrivacy::kPublic);
  EXPECT_NE(std::get<std::string>(records[0].arguments[4].value), "");
}

TEST(HttpHeadersTest, AddsInOrderAndJoinsRepeatedNamesWithoutRegardToCase) {
  HttpHeaders headers;
  headers.add("Accept", "application/json");
  headers.add("X-Trace", "1");
  headers.add("accept", "text/plain");
  headers.add("Empty", "");
  EXPECT_THAT(headers.fields(), ElementsAre(Field("Accept", "application/json, text/plain"),
                                            Field("X-Trace", "1"), Field("Empty", "")));
  EXPECT_THAT(headers.get("ACCEPT"), Optional(std::string("application/json, text/plain")));
  EXPECT_THAT(headers.get("x-trace"), Optional(std::string("1")));
  EXPECT_THAT(headers.get("Empty"), Optional(std::string("")));
  EXPECT_EQ(headers.get("X-Tracer"), std::nullopt);
}

// A request arrives with what was given and nothing of the client's own
// besides Host and, for a body, its length (an empty body has length zero, an
// absent one none); the answer comes back whole, whatever its status. The test
// server reads a body only for methods that usually carry one: GET shows
// absence.
TEST_F(UrlSessionTest, RequestsArriveAsGivenAndAnswersComeBackWhole) {
  struct Case {
    std::string method;
    std::string path;
    std::string query;
    HeaderFields fields;
    std::optional<std::string> body;
    int status;
    std::string answer;
  };
  const HeaderFields json = {{"Content-Type", "application/json"}};
  const Case cases[] = {
      {"GET",
       "/v1/assets/A%2F1/actions",
       "platform=linux&name=a%20b",
       {{"Content-Type", "application/json"}, {"X-Api-Key", "secret"}},
       std::nullopt,
       200,
       R"({"actions":[]})"},
      {"POST", "/v1/assets/A1/action-result", "", json, R"({"status":"FAILED","message":"é"})", 201,
       "{}"},
      {"POST", "/echo", "", {}, "", 404, "not here"},
      {"PUT", "/echo", "", {}, "", 502, "bad gateway"},
      {"GET", "/echo", "", {}, "", 204, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path + (c.body ? " with body '" + *c.body + "'" : ""));
    server_.expect({c.method, c.path, c.query}).respond(c.status, c.answer, {{"X-Reply", "r"}});
    HttpRequest request = get(server_.url(c.path + (c.query.empty() ? "" : "?" + c.query)));
    request.method = c.method;
    request.body = c.body;
    for (const auto& [name, value] : c.fields) request.headers.add(name, value);

    const DataResult result = load(*session_, request);

    ASSERT_EQ(result.error, std::nullopt) << result.error->description;
    EXPECT_THAT(result.body, Optional(c.answer));
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, c.status);
    EXPECT_EQ(result.response->url, request.url);
    EXPECT_THAT(result.response->headers.get("x-reply"), Optional(std::string("r")));

    const auto received = server_.requests().back();
    EXPECT_EQ(received.method, c.method);
    EXPECT_EQ(received.body, c.body.value_or(""));
    std::set<std::string> names = lowerCaseNames(c.fields);
    names.insert("host");
    if (c.body) names.insert("content-length");
    EXPECT_EQ(lowerCaseNames(received.headers), names);
    for (const auto& [name, value] : c.fields) EXPECT_THAT(received.header(name), Optional(value));
    if (c.body) {
      EXPECT_THAT(received.header("Content-Length"), Optional(std::to_string(c.body->size())));
    }
  }
}

// Many tasks at once, and two that fail before any connection: each completes
// once, all on one worker thread, and never before its call returned.
TEST_F(UrlSessionTest, EveryTaskCompletesOnceOnTheWorkerThreadAfterTheCallReturned) {
  constexpr int kTasks = 24;
  server_.setStrictOrder(false);
  std::vector<std::string> urls;
  for (int i = 0; i < kTasks; ++i) {
    urls.push_back(server_.url("/item/" + std::to_string(i)));
    server_.expect({"GET", "/item/" + std::to_string(i)}).respond(200, "item " + std::to_string(i));
  }
  urls.insert(urls.end(), {"http://127.0.0.1:1/plain", "not a url"});
  // Held by the caller across the call: a completion run from inside the call
  // would see `returned` still false (recursive, so it would not deadlock).
  std::recursive_mutex callMutex;
  bool returned = false;
  std::vector<char> sawReturned(urls.size(), false);
  std::vector<std::future<DataResult>> futures;
  for (size_t i = 0; i < urls.size(); ++i) {
    std::lock_guard lock(callMutex);
    returned = false;
    futures.push_back(startData(*session_, get(urls[i]), [&, i] {
      std::lock_guard lock(callMutex);
      sawReturned[i] = returned;
    }));
    returned = true;
  }
  std::set<std::thread::id> threads;
  for (size_t i = 0; i < urls.size(); ++i) {
    const DataResult result = await(futures[i]);
    threads.insert(result.thread);
    EXPECT_TRUE(sawReturned[i]) << urls[i];
    if (i < kTasks) {
      EXPECT_THAT(result.body, Optional("item " + std::to_string(i)));
    }
    EXPECT_EQ(result.error.has_value(), i >= kTasks) << urls[i];
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(UrlSessionTest, RefusesWhatItCannotSendSafelyWithoutSendingAnything) {
  HttpsServer plain(testing::plainHttpOptions());
  ScriptedServer::Options otherName;
  otherName.certificate.dnsNames = {"updates.example.invalid"};
  otherName.certificate.ipAddresses = {};
  HttpsServer wrongHost(otherName);
  auto trustsWrongHostCa = makeUrlSession({.caFile = wrongHost.caFile()}, logger());
  auto systemTrust = makeUrlSession({}, logger());
  const auto withField = [&](std::string name, std::string value) {
    HttpRequest request = get(server_.url("/x"));
    request.headers.add(name, value);
    return request;
  };
  HttpRequest badMethod = get(server_.url("/x"));
  badMethod.method = "GET /y HTTP/1.1\r\n";

  const FailureCase cases[] = {
      {"authority not trusted", systemTrust.get(), get(server_.url("/v1/x?asset=A1")),
       url_error::kServerCertificateUntrusted, "TLS"},
      {"authority of another server", trustsWrongHostCa.get(), get(server_.url("/x")),
       url_error::kServerCertificateUntrusted, "TLS"},
      {"certificate for another host name", trustsWrongHostCa.get(), get(wrongHost.url("/x")),
       url_error::kServerCertificateUntrusted, "TLS"},
      {"plain http", session_.get(), get(plain.url("/v1/x")), url_error::kSecureConnectionRequired},
      {"plain HTTP in capitals", session_.get(),
       get("HTTP://127.0.0.1:" + std::to_string(plain.port()) + "/v1/x"),
       url_error::kSecureConnectionRequired},
      {"ftp", session_.get(), get("ftp://127.0.0.1/file"), url_error::kSecureConnectionRequired},
      {"no scheme", session_.get(), get("no scheme at all"), url_error::kBadUrl},
      {"empty URL", session_.get(), get(""), url_error::kBadUrl},
      {"CR LF in a field value", session_.get(), withField("X-Injected", "a\r\nX-Other: b"),
       url_error::kUnknown},
      {"space in a field name", session_.get(), withField("Bad Name", "v"), url_error::kUnknown},
      {"empty field name", session_.get(), withField("", "v"), url_error::kUnknown},
      {"colon in a field name", session_.get(), withField("Colon:", "v"), url_error::kUnknown},
      {"CR LF in the method", session_.get(), badMethod, url_error::kUnknown},
  };
  for (const auto& c : cases) expectFailure(c, *sink_);
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_TRUE(plain.requests().empty());
  EXPECT_TRUE(wrongHost.requests().empty());
}

TEST_F(UrlSessionTest, FollowsAtMostTenRedirectsAndOnlyToHttps) {
  HttpsServer plain(testing::plainHttpOptions());
  server_.expect({"GET", "/old"}).redirectTo(server_.url("/new"), 301);
  server_.expect({"GET", "/new"}).respond(200, "moved here", {{"X-Final", "yes"}});
  server_.expect({"GET", "/to-plain"}).redirectTo(plain.url("/insecure"));

  const DataResult followed = load(*session_, get(server_.url("/old")));
  ASSERT_EQ(followed.error, std::nullopt) << followed.error->description;
  EXPECT_THAT(followed.body, Optional(std::string("moved here")));
  EXPECT_EQ(followed.response->statusCode, 200);
  EXPECT_EQ(followed.response->url, server_.url("/new"));
  // The fields are those of the final answer only.
  EXPECT_THAT(followed.response->headers.get("X-Final"), Optional(std::string("yes")));
  EXPECT_EQ(followed.response->headers.get("Location"), std::nullopt);

  const DataResult refused = load(*session_, get(server_.url("/to-plain")));
  EXPECT_EQ(errorCode(refused.error), url_error::kSecureConnectionRequired);
  EXPECT_EQ(refused.response, std::nullopt);
  EXPECT_TRUE(plain.requests().empty());

  server_.otherwise().redirectTo(server_.url("/loop"));
  const DataResult looping = load(*session_, get(server_.url("/loop")));
  EXPECT_EQ(errorCode(looping.error), url_error::kHttpTooManyRedirects);
  EXPECT_EQ(server_.requests().size(), 3u + 11u);
}

// The time-outs wait a second or two of real time: they are the thing under
// test. One byte of body comes before the stall: the transfer speed is
// averaged over the last few seconds, so a larger head start would only make
// the test slower.
TEST_F(UrlSessionTest, TransportFailuresDeliverTheErrorAlone) {
  server_.setStrictOrder(false);
  server_.expect({"GET", "/slow"}).stallAfter("p", 1000).times(2);
  server_.expect({"GET", "/reset"}).resetAfter("part of it", 100000);
  server_.expect({"GET", "/overlong"})
      .respondWithGeneratedBody(1 << 20, 200, {{"Content-Length", "10"}}, true);
  UrlSessionOptions shortStall = options();
  shortStall.stallTimeout = 1;
  auto stallingSession = makeUrlSession(shortStall, logger());
  HttpRequest shortRequest = get(server_.url("/slow"));
  shortRequest.timeoutInterval = 1;
  std::string nothingListening;
  {
    HttpsServer gone;
    nothingListening = gone.url("/x");
  }

  const FailureCase cases[] = {
      {"session stall time-out", stallingSession.get(), get(server_.url("/slow")),
       url_error::kTimedOut, "time-out"},
      {"request time-out interval", session_.get(), shortRequest, url_error::kTimedOut, "time-out"},
      {"connection lost mid-body", session_.get(), get(server_.url("/reset")),
       url_error::kNetworkConnectionLost, "transfer"},
      {"nothing listening", session_.get(), get(nothingListening), url_error::kCannotConnectToHost,
       "connect"},
      {"body beyond its announced length", session_.get(), get(server_.url("/overlong")),
       url_error::kBadServerResponse, "transfer"},
  };
  for (const auto& c : cases) expectFailure(c, *sink_);
}

TEST_F(UrlSessionTest, DataTaskBodyIsCappedAtSixteenMebibytes) {
  constexpr std::uint64_t kCap = UrlSession::kMaxDataTaskBodyBytes;
  struct Case {
    const char* name;
    std::uint64_t length;
    bool chunked;
  };
  const Case cases[] = {
      {"exactly the cap", kCap, false},
      {"one byte over, length announced", kCap + 1, false},
      {"one byte over, chunked", kCap + 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.expect({"GET", "/big"}).respondWithGeneratedBody(c.length, 200, {}, c.chunked);
    const DataResult result = load(*session_, get(server_.url("/big")));
    if (c.length <= kCap) {
      ASSERT_EQ(result.error, std::nullopt) << result.error->description;
      ASSERT_TRUE(result.body);
      EXPECT_EQ(result.body->size(), c.length);
      EXPECT_TRUE(*result.body == testing::generatedBody(0, c.length));
    } else {
      EXPECT_EQ(errorCode(result.error), url_error::kDataLengthExceedsMaximum);
      EXPECT_EQ(result.body, std::nullopt);
      EXPECT_EQ(result.response, std::nullopt);
    }
  }
}

TEST_F(UrlSessionTest, StreamTaskHandsOverTheWholeBodyInChunksWithoutACap) {
  const std::pair<std::uint64_t, bool> cases[] = {
      {3 * 1024 * 1024 + 7, false},
      {UrlSession::kMaxDataTaskBodyBytes + 1, true},
  };
  for (const auto& [length, chunked] : cases) {
    SCOPED_TRACE(length);
    server_.expect({"GET", "/package"}).respondWithGeneratedBody(length, 203, {}, chunked);
    const StreamResult result = stream(*session_, get(server_.url("/package")));
    ASSERT_EQ(result.error, std::nullopt) << result.error->description;
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 203);
    EXPECT_EQ(result.statuses, std::set<std::int64_t>{203});
    EXPECT_EQ(result.received.size(), length);
    EXPECT_TRUE(result.received == testing::generatedBody(0, length));
    EXPECT_GT(result.chunks, 1);
    EXPECT_EQ(result.chunkThreads, std::set<std::thread::id>{result.completionThread});
    EXPECT_NE(result.completionThread, std::this_thread::get_id());
  }
}

// A stream ends at once when its handler refuses a chunk (no chunk comes
// after), and when its body runs past the length the answer announced. Only
// the second is a failure to log.
TEST_F(UrlSessionTest, StreamTaskEndsAtOnceWhenRefusedOrOverlong) {
  struct Case {
    const char* name;
    std::uint64_t length;
    HeaderFields fields;
    int abortAfter;
    std::int64_t code;
    int chunks;
    std::size_t records;
  };
  const Case cases[] = {
      {"handler refuses the second chunk", 8 * 1024 * 1024, {}, 2, url_error::kCancelled, 2, 0},
      {"endless body announcing ten bytes",
       std::uint64_t{1} << 50,
       {{"Content-Length", "10"}},
       0,
       url_error::kBadServerResponse,
       0,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sink_->clear();
    server_.expect({"GET", "/package"}).respondWithGeneratedBody(c.length, 200, c.fields, true);
    const StreamResult result = stream(*session_, get(server_.url("/package")), c.abortAfter);
    EXPECT_EQ(errorCode(result.error), c.code);
    EXPECT_EQ(result.response, std::nullopt);
    EXPECT_EQ(result.chunks, c.chunks);
    EXPECT_EQ(sink_->records().size(), c.records);
  }
}

// A package host that sends more than it announced leaves the rest on the
// connection; the next request to that host must not read it as its answer.
TEST(UrlSessionConnectionTest, BytesBeyondADownloadsLengthNeverReachTheNextAnswer) {
  ScriptedServer::Options keepAlive;
  keepAlive.keepAlive = true;
  HttpsServer server(keepAlive);
  server.expect({"GET", "/package"})
      .respondWithExcess(200, "package", "HTTP/1.1 500 Poisoned\r\nContent-Length: 0\r\n\r\n");
  server.expect({"POST", "/v1/assets/A1/action-result"}).respond(200, "{}");
  auto session = makeUrlSession({.caFile = server.caFile()},
                                Logger("com.kelvane.Orvanta.quarn", "URL Session",
                                       std::make_shared<testing::MemoryLogSink>()));

  const StreamResult download = stream(*session, get(server.url("/package")));
  ASSERT_EQ(download.error, std::nullopt) << download.error->description;
  EXPECT_EQ(download.received, "package");

  HttpRequest report = get(server.url("/v1/assets/A1/action-result"));
  report.method = "POST";
  report.body = "{}";
  const DataResult answer = load(*session, report);
  ASSERT_EQ(answer.error, std::nullopt) << answer.error->description;
  EXPECT_EQ(answer.response->statusCode, 200);
  EXPECT_THAT(answer.body, Optional(std::string("{}")));
}

TEST_F(UrlSessionTest, DestroyingTheSessionCancelsTasksInFlightBeforeReturning) {
  server_.otherwise().stallAfter("first bytes", 1000);
  int calls = 0;
  std::optional<Error> error;  // written on the worker thread before the destructor returns
  startStalledStream(*session_, server_.url("/slow"),
                     [&](std::optional<HttpResponse>, std::optional<Error> e) {
                       error = std::move(e);
                       ++calls;
                     });

  session_.reset();

  EXPECT_EQ(calls, 1);
  EXPECT_EQ(errorCode(error), url_error::kCancelled);
  EXPECT_TRUE(sink_->records().empty()) << "the session's own cancellation is no failure";
}

TEST_F(UrlSessionTest, SessionReleasedFromItsOwnCompletionFinishesTheOtherTasks) {
  server_.expect({"GET", "/slow"}).stallAfter("first bytes", 1000);
  server_.expect({"GET", "/quick"}).respond(200, "done");
  auto slowDone = std::make_shared<std::promise<std::optional<Error>>>();
  auto slowFuture = slowDone->get_future();
  startStalledStream(*session_, server_.url("/slow"),
                     [slowDone](std::optional<HttpResponse>, std::optional<Error> error) {
                       slowDone->set_value(std::move(error));
                     });

  // The quick task's completion holds the last reference to the session.
  UrlSession& session = *session_;
  session.dataTask(
      get(server_.url("/quick")),
      [keep = std::move(session_)](std::optional<std::string>, std::optional<HttpResponse>,
                                   std::optional<Error>) mutable { keep.reset(); });

  EXPECT_EQ(errorCode(await(slowFuture)), url_error::kCancelled);
}

}  // namespace
}  // namespace quarn::platform
