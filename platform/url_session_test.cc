// Tests of the libcurl UrlSession against the scripted loopback HTTPS server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/url_session_linux.h"
#include "tests/support/https_server.h"

namespace quarn::platform {
namespace {

using ::quarn::testing::HeaderFields;
using ::quarn::testing::HttpsServer;
using ::quarn::testing::ScriptedServer;
using ::testing::ElementsAre;
using ::testing::Optional;
using ::testing::UnorderedElementsAre;

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
  std::optional<HttpResponse> response;
  std::optional<Error> error;
  std::thread::id completionThread;
  std::set<std::thread::id> chunkThreads;
};

template <class T>
T await(std::future<T>& future) {
  if (future.wait_for(kHangGuard) != std::future_status::ready) {
    ADD_FAILURE() << "the session did not complete the task";
    return T{};
  }
  return future.get();
}

// Starts a data task; its outcome arrives through the future.
std::future<DataResult> startData(UrlSession& session, HttpRequest request) {
  auto promise = std::make_shared<std::promise<DataResult>>();
  auto future = promise->get_future();
  session.dataTask(std::move(request),
                   [promise](std::optional<std::string> body, std::optional<HttpResponse> response,
                             std::optional<Error> error) {
                     promise->set_value(DataResult{std::move(body), std::move(response),
                                                   std::move(error), std::this_thread::get_id()});
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
      [result, abortAfter](std::string_view chunk) {
        result->received.append(chunk);
        result->chunkThreads.insert(std::this_thread::get_id());
        return ++result->chunks != abortAfter;
      },
      [result, promise](std::optional<HttpResponse> response, std::optional<Error> error) {
        result->response = std::move(response);
        result->error = std::move(error);
        result->completionThread = std::this_thread::get_id();
        promise->set_value();
      });
  if (future.wait_for(kHangGuard) != std::future_status::ready) {
    ADD_FAILURE() << "the session did not complete the stream task";
    return {};
  }
  return std::move(*result);
}

HttpRequest get(std::string url) {
  HttpRequest request;
  request.url = std::move(url);
  return request;
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

  // Declared first: destroyed after the session, whose connections close then.
  HttpsServer server_;
  std::shared_ptr<UrlSession> session_ = makeUrlSession(options());
};

TEST(HttpHeadersTest, AddsInOrderAndJoinsRepeatedNamesWithoutRegardToCase) {
  HttpHeaders headers;
  headers.add("Accept", "application/json");
  headers.add("X-Trace", "1");
  headers.add("accept", "text/plain");
  headers.add("Empty", "");
  EXPECT_THAT(headers.fields(), ElementsAre(std::pair<std::string, std::string>(
                                                "Accept", "application/json, text/plain"),
                                            std::pair<std::string, std::string>("X-Trace", "1"),
                                            std::pair<std::string, std::string>("Empty", "")));
  EXPECT_THAT(headers.get("ACCEPT"), Optional(std::string("application/json, text/plain")));
  EXPECT_THAT(headers.get("x-trace"), Optional(std::string("1")));
  EXPECT_THAT(headers.get("Empty"), Optional(std::string("")));
  EXPECT_EQ(headers.get("X-Tracer"), std::nullopt);
}

TEST_F(UrlSessionTest, GetArrivesExactlyAsRequestedAndDeliversTheAnswer) {
  server_.expect({"GET", "/v1/assets/A%2F1/actions", "platform=linux&name=a%20b"})
      .respond(200, R"({"actions":[]})", {{"Content-Type", "application/json"}, {"X-Reply", "r"}});
  HttpRequest request = get(server_.url("/v1/assets/A%2F1/actions?platform=linux&name=a%20b"));
  request.headers.add("Content-Type", "application/json");
  request.headers.add("X-Api-Key", "secret");

  const DataResult result = load(*session_, request);

  ASSERT_EQ(result.error, std::nullopt) << result.error->description;
  EXPECT_THAT(result.body, Optional(std::string(R"({"actions":[]})")));
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.response->statusCode, 200);
  EXPECT_EQ(result.response->url, request.url);
  EXPECT_THAT(result.response->headers.get("x-reply"), Optional(std::string("r")));
  EXPECT_THAT(result.response->headers.get("content-type"),
              Optional(std::string("application/json")));

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& received = requests[0];
  EXPECT_EQ(received.method, "GET");
  EXPECT_EQ(received.query, "platform=linux&name=a%20b");
  EXPECT_THAT(received.queryItems,
              ElementsAre(std::pair<std::string, std::string>("platform", "linux"),
                          std::pair<std::string, std::string>("name", "a b")));
  // Only what was asked for, plus Host: no Accept, Expect, User-Agent, ...
  EXPECT_EQ(lowerCaseNames(received.headers),
            (std::set<std::string>{"host", "content-type", "x-api-key"}));
  EXPECT_THAT(received.header("X-Api-Key"), Optional(std::string("secret")));
  EXPECT_EQ(received.body, "");
}

TEST_F(UrlSessionTest, PostArrivesWithItsBodyAndNoFieldsOfTheClientsOwn) {
  const std::string body = R"({"status":"FAILED","message":"é"})";
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(201, "{}");
  HttpRequest request;
  request.url = server_.url("/v1/assets/A1/action-result");
  request.method = "POST";
  request.body = body;
  request.headers.add("Content-Type", "application/json");

  const DataResult result = load(*session_, request);

  ASSERT_EQ(result.error, std::nullopt) << result.error->description;
  EXPECT_EQ(result.response->statusCode, 201);
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(lowerCaseNames(requests[0].headers),
            (std::set<std::string>{"host", "content-type", "content-length"}));
  EXPECT_THAT(requests[0].header("Content-Type"), Optional(std::string("application/json")));
  EXPECT_THAT(requests[0].header("Content-Length"), Optional(std::to_string(body.size())));
}

TEST_F(UrlSessionTest, EmptyBodyIsSentWithLengthZeroAndAbsentBodyNotAtAll) {
  struct Case {
    std::string method;
    std::optional<std::string> body;
    std::optional<std::string> contentLength;
  };
  // The test server reads a body only for methods that usually carry one, and
  // then needs a length: POST and PUT are sent with one, GET shows absence.
  const std::vector<Case> cases = {
      {"POST", "", "0"},
      {"PUT", "", "0"},
      {"GET", "", "0"},
      {"GET", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + (c.body ? " with an empty body" : " without a body"));
    server_.expect({c.method, "/echo"}).respond(200, "ok");
    HttpRequest request = get(server_.url("/echo"));
    request.method = c.method;
    request.body = c.body;
    const DataResult result = load(*session_, request);
    ASSERT_EQ(result.error, std::nullopt) << result.error->description;
    const auto received = server_.requests().back();
    EXPECT_EQ(received.method, c.method);
    EXPECT_EQ(received.header("Content-Length"), c.contentLength);
    EXPECT_EQ(received.header("Content-Type"), std::nullopt);
    EXPECT_EQ(received.header("Transfer-Encoding"), std::nullopt);
    EXPECT_EQ(received.body, "");
  }
}

TEST_F(UrlSessionTest, AnyStatusDeliversBodyAndResponse) {
  const std::vector<std::pair<int, std::string>> cases = {
      {200, "fine"}, {404, "not here"}, {502, "bad gateway"}, {204, ""}};
  for (const auto& [status, body] : cases) {
    SCOPED_TRACE(status);
    server_.expect({"GET", "/status"})
        .respond(status, body, {{"X-Status", std::to_string(status)}});
    const DataResult result = load(*session_, get(server_.url("/status")));
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_THAT(result.body, Optional(body));
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, status);
    EXPECT_THAT(result.response->headers.get("X-Status"), Optional(std::to_string(status)));
  }
}

TEST_F(UrlSessionTest, CompletionsRunOnOneWorkerThreadAfterTheCallReturned) {
  server_.otherwise().respond(200, "ok");
  // Held by the caller across the call: a completion run from inside the call
  // would find `returned` still false (the mutex is recursive, so it would not
  // deadlock but fail).
  std::recursive_mutex callMutex;
  bool returned = false;
  std::vector<std::future<DataResult>> futures;
  std::vector<bool> sawReturned(4, false);
  const std::vector<std::string> urls = {server_.url("/a"), "http://127.0.0.1:1/plain", "not a url",
                                         server_.url("/b")};
  for (size_t i = 0; i < urls.size(); ++i) {
    auto promise = std::make_shared<std::promise<DataResult>>();
    futures.push_back(promise->get_future());
    std::lock_guard lock(callMutex);
    returned = false;
    session_->dataTask(get(urls[i]), [&, i, promise](std::optional<std::string> body,
                                                     std::optional<HttpResponse> response,
                                                     std::optional<Error> error) {
      {
        std::lock_guard lock(callMutex);
        sawReturned[i] = returned;
      }
      promise->set_value(DataResult{std::move(body), std::move(response), std::move(error),
                                    std::this_thread::get_id()});
    });
    returned = true;
  }
  std::set<std::thread::id> threads;
  for (auto& future : futures) threads.insert(await(future).thread);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_THAT(sawReturned, ElementsAre(true, true, true, true));
}

TEST_F(UrlSessionTest, RefusesCertificatesItCannotTrust) {
  ScriptedServer::Options otherName;
  otherName.certificate.dnsNames = {"updates.example.invalid"};
  otherName.certificate.ipAddresses = {};
  HttpsServer wrongHost(otherName);
  auto trustsWrongHostCa = makeUrlSession({.caFile = wrongHost.caFile()});
  auto systemTrust = makeUrlSession();

  struct Case {
    const char* name;
    UrlSession* session;
    std::string url;
  };
  const std::vector<Case> cases = {
      {"authority not trusted", systemTrust.get(), server_.url("/x")},
      {"authority of another server", trustsWrongHostCa.get(), server_.url("/x")},
      {"certificate for another host name", trustsWrongHostCa.get(), wrongHost.url("/x")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DataResult result = load(*c.session, get(c.url));
    EXPECT_EQ(errorCode(result.error), url_error::kServerCertificateUntrusted);
    EXPECT_EQ(result.error->domain, kUrlErrorDomain);
    EXPECT_FALSE(result.error->description.empty());
    EXPECT_EQ(result.body, std::nullopt);
    EXPECT_EQ(result.response, std::nullopt);
  }
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_TRUE(wrongHost.requests().empty());
}

TEST_F(UrlSessionTest, RefusesPlainHttpAndBadUrlsWithoutSendingAnything) {
  HttpsServer plain(testing::plainHttpOptions());
  struct Case {
    std::string url;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {plain.url("/v1/x"), url_error::kSecureConnectionRequired},
      {"HTTP://127.0.0.1:" + std::to_string(plain.port()) + "/v1/x",
       url_error::kSecureConnectionRequired},
      {"ftp://127.0.0.1/file", url_error::kSecureConnectionRequired},
      {"no scheme at all", url_error::kBadUrl},
      {"", url_error::kBadUrl},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const DataResult result = load(*session_, get(c.url));
    EXPECT_EQ(errorCode(result.error), c.code);
    EXPECT_EQ(result.body, std::nullopt);
    EXPECT_EQ(result.response, std::nullopt);
  }
  EXPECT_TRUE(plain.requests().empty());
}

TEST_F(UrlSessionTest, RefusesRequestFieldsThatWouldBreakTheRequest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"X-Injected", "a\r\nX-Other: b"}, {"Bad Name", "v"}, {"", "v"}, {"Colon:", "v"}};
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    HttpRequest request = get(server_.url("/x"));
    request.headers.add(name, value);
    const DataResult result = load(*session_, request);
    EXPECT_EQ(errorCode(result.error), url_error::kUnknown);
  }
  HttpRequest badMethod = get(server_.url("/x"));
  badMethod.method = "GET /y HTTP/1.1\r\n";
  EXPECT_EQ(errorCode(load(*session_, badMethod).error), url_error::kUnknown);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(UrlSessionTest, FollowsRedirectsToHttpsOnly) {
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
}

TEST_F(UrlSessionTest, StopsAfterTenRedirects) {
  server_.otherwise().redirectTo(server_.url("/loop"));
  const DataResult result = load(*session_, get(server_.url("/loop")));
  EXPECT_EQ(errorCode(result.error), url_error::kHttpTooManyRedirects);
  EXPECT_EQ(server_.requests().size(), 11u);
}

// Waits a second or two of real time per case: the stall time-out is the thing
// under test. One byte of body comes before the stall: the transfer speed is
// averaged over the last few seconds, so a larger head start would only make
// the test slower.
TEST_F(UrlSessionTest, StalledTransferTimesOut) {
  server_.otherwise().stallAfter("p", 1000);
  UrlSessionOptions shortStall = options();
  shortStall.stallTimeout = 1;
  auto stallingSession = makeUrlSession(shortStall);
  HttpRequest shortRequest = get(server_.url("/slow"));
  shortRequest.timeoutInterval = 1;

  struct Case {
    const char* name;
    UrlSession* session;
    HttpRequest request;
  };
  const std::vector<Case> cases = {
      {"session stall time-out", stallingSession.get(), get(server_.url("/slow"))},
      {"request time-out interval", session_.get(), shortRequest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DataResult result = load(*c.session, c.request);
    EXPECT_EQ(errorCode(result.error), url_error::kTimedOut);
    EXPECT_EQ(result.body, std::nullopt);
    EXPECT_EQ(result.response, std::nullopt);
  }
}

TEST_F(UrlSessionTest, ConnectionLostMidBodyIsATransportError) {
  server_.expect({"GET", "/reset"}).resetAfter("part of it", 100000);
  const DataResult result = load(*session_, get(server_.url("/reset")));
  EXPECT_EQ(errorCode(result.error), url_error::kNetworkConnectionLost);
  EXPECT_EQ(result.body, std::nullopt);
  EXPECT_EQ(result.response, std::nullopt);
}

TEST_F(UrlSessionTest, NothingListeningIsCannotConnect) {
  std::string url;
  {
    HttpsServer gone;
    url = gone.url("/x");
  }
  const DataResult result = load(*session_, get(url));
  EXPECT_EQ(errorCode(result.error), url_error::kCannotConnectToHost);
}

TEST_F(UrlSessionTest, DataTaskBodyIsCappedAtSixteenMebibytes) {
  constexpr std::uint64_t kCap = UrlSession::kMaxDataTaskBodyBytes;
  struct Case {
    const char* name;
    std::uint64_t length;
    bool chunked;
    bool fits;
  };
  const std::vector<Case> cases = {
      {"exactly the cap", kCap, false, true},
      {"one byte over, length announced", kCap + 1, false, false},
      {"one byte over, chunked", kCap + 1, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.expect({"GET", "/big"}).respondWithGeneratedBody(c.length, 200, {}, c.chunked);
    const DataResult result = load(*session_, get(server_.url("/big")));
    if (c.fits) {
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

TEST_F(UrlSessionTest, StreamTaskHandsOverTheWholeBodyInChunks) {
  constexpr std::uint64_t kLength = 3 * 1024 * 1024 + 7;  // over the cap is not needed here
  server_.expect({"GET", "/package"}).respondWithGeneratedBody(kLength);
  const StreamResult result = stream(*session_, get(server_.url("/package")));
  ASSERT_EQ(result.error, std::nullopt) << result.error->description;
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.response->statusCode, 200);
  EXPECT_EQ(result.received.size(), kLength);
  EXPECT_TRUE(result.received == testing::generatedBody(0, kLength));
  EXPECT_GT(result.chunks, 1);
  EXPECT_EQ(result.chunkThreads, std::set<std::thread::id>{result.completionThread});
  EXPECT_NE(result.completionThread, std::this_thread::get_id());
}

TEST_F(UrlSessionTest, StreamTaskIsNotCapped) {
  constexpr std::uint64_t kLength = UrlSession::kMaxDataTaskBodyBytes + 1;
  server_.expect({"GET", "/package"}).respondWithGeneratedBody(kLength, 200, {}, true);
  const StreamResult result = stream(*session_, get(server_.url("/package")));
  ASSERT_EQ(result.error, std::nullopt) << result.error->description;
  EXPECT_EQ(result.received.size(), kLength);
}

TEST_F(UrlSessionTest, ChunkHandlerReturningFalseCancelsTheTransfer) {
  server_.expect({"GET", "/package"}).respondWithGeneratedBody(8 * 1024 * 1024);
  const StreamResult result = stream(*session_, get(server_.url("/package")), /*abortAfter=*/2);
  EXPECT_EQ(errorCode(result.error), url_error::kCancelled);
  EXPECT_EQ(result.response, std::nullopt);
  EXPECT_EQ(result.chunks, 2);  // no chunk after the refusal
}

TEST_F(UrlSessionTest, ManyConcurrentTasksEachCompleteOnce) {
  constexpr int kTasks = 24;
  server_.setStrictOrder(false);
  for (int i = 0; i < kTasks; ++i) {
    server_.expect({"GET", "/item/" + std::to_string(i)}).respond(200, "item " + std::to_string(i));
  }
  std::atomic<int> completions{0};
  std::vector<std::future<DataResult>> futures;
  for (int i = 0; i < kTasks; ++i) {
    auto promise = std::make_shared<std::promise<DataResult>>();
    futures.push_back(promise->get_future());
    session_->dataTask(
        get(server_.url("/item/" + std::to_string(i))),
        [promise, &completions](std::optional<std::string> body,
                                std::optional<HttpResponse> response, std::optional<Error> error) {
          ++completions;
          promise->set_value(DataResult{std::move(body), std::move(response), std::move(error),
                                        std::this_thread::get_id()});
        });
  }
  for (int i = 0; i < kTasks; ++i) {
    const DataResult result = await(futures[i]);
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_THAT(result.body, Optional("item " + std::to_string(i)));
  }
  // A task that completed twice would have thrown from set_value; the count
  // also shows none is missing.
  EXPECT_EQ(completions.load(), kTasks);
}

TEST_F(UrlSessionTest, DestroyingTheSessionCancelsTasksInFlightBeforeReturning) {
  server_.otherwise().stallAfter("first bytes", 1000);
  auto arrived = std::make_shared<std::promise<void>>();
  auto arrivedFuture = arrived->get_future();
  std::atomic<int> calls{0};
  std::optional<Error> error;  // written on the worker thread before the destructor returns
  session_->streamTask(
      get(server_.url("/slow")),
      [arrived, fired = false](std::string_view) mutable {
        if (!fired) arrived->set_value();
        fired = true;
        return true;
      },
      [&](std::optional<HttpResponse>, std::optional<Error> e) {
        error = std::move(e);
        ++calls;
      });
  ASSERT_EQ(arrivedFuture.wait_for(kHangGuard), std::future_status::ready);

  session_.reset();

  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(errorCode(error), url_error::kCancelled);
}

TEST_F(UrlSessionTest, SessionReleasedFromItsOwnCompletionFinishesTheOtherTasks) {
  server_.expect({"GET", "/slow"}).stallAfter("first bytes", 1000);
  server_.expect({"GET", "/quick"}).respond(200, "done");
  auto slowDone = std::make_shared<std::promise<std::optional<Error>>>();
  auto slowFuture = slowDone->get_future();
  auto arrived = std::make_shared<std::promise<void>>();
  auto arrivedFuture = arrived->get_future();

  session_->streamTask(
      get(server_.url("/slow")),
      [arrived, fired = false](std::string_view) mutable {
        if (!fired) arrived->set_value();
        fired = true;
        return true;
      },
      [slowDone](std::optional<HttpResponse>, std::optional<Error> error) {
        slowDone->set_value(std::move(error));
      });
  ASSERT_EQ(arrivedFuture.wait_for(kHangGuard), std::future_status::ready);

  // The quick task's completion holds the last reference to the session.
  UrlSession& session = *session_;
  session.dataTask(
      get(server_.url("/quick")),
      [keep = std::move(session_)](std::optional<std::string>, std::optional<HttpResponse>,
                                   std::optional<Error>) mutable { keep.reset(); });

  ASSERT_EQ(slowFuture.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(errorCode(slowFuture.get()), url_error::kCancelled);
}

}  // namespace
}  // namespace quarn::platform
