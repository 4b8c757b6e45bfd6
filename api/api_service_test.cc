#include "api/api_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "api/service_records.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

using testing::FakeUrlSession;
using Fake = FakeUrlSession;

constexpr const char* kBase = "https://updates.example.test/v1/";
constexpr const char* kActionsPath = "assets/A1/actions";

platform::Error apiError(std::int64_t status, std::string message) {
  return platform::Error{"ApiError", status, std::move(message)};
}
platform::Error undecodable(const std::string& body) {
  return apiError(101, "Unable to decode response from API: " + body);
}

// What one request's completion received, and how often it ran.
struct Result {
  int calls = 0;
  std::optional<ForwarderActionsResponse> record;
  std::optional<platform::Error> error;
  std::thread::id thread;
};

class ApiServiceTest : public ::testing::Test {
 protected:
  void makeService(Fake::Delivery delivery = Fake::Delivery::kManual) {
    session_ = std::make_shared<FakeUrlSession>(delivery);
    service_ =
        ApiService::create(std::make_unique<RequestBuilder>(kBase), session_,
                           platform::Logger("com.kelvane.Orvanta.quarn", "API Service", sink_),
                           loop_, std::make_shared<testing::FakeFileSystem>());
  }
  void SetUp() override { makeService(); }

  // Starts a GET of the actions; the returned result fills in when it ends.
  std::shared_ptr<Result> request(std::vector<std::int64_t> retryStatusCodes = {502},
                                  int retries = 2, std::string path = kActionsPath,
                                  QueryItems query = {}, std::optional<std::string> body = {},
                                  Headers headers = {}, HTTPMethod method = HTTPMethod::get) {
    auto result = std::make_shared<Result>();
    service_->performRequest<ForwarderActionsResponse>(
        {
            .path = std::move(path),
            .queryItems = std::move(query),
            .body = std::move(body),
            .headers = std::move(headers),
            .method = method,
            .retryStatusCodes = std::move(retryStatusCodes),
            .retries = retries,
        },
        [result, loop = loop_](std::optional<ForwarderActionsResponse> record,
                               std::optional<platform::Error> error) {
          ++result->calls;
          result->record = std::move(record);
          result->error = std::move(error);
          result->thread = std::this_thread::get_id();
          loop->quit();
        });
    return result;
  }

  std::shared_ptr<testing::VirtualTimeLoop> loop_ = std::make_shared<testing::VirtualTimeLoop>();
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<FakeUrlSession> session_;
  std::shared_ptr<ApiService> service_;
};

TEST_F(ApiServiceTest, OutcomeOfOneAnswer) {
  struct Case {
    const char* name;
    Fake::Outcome outcome;
    std::variant<ForwarderActionsResponse, platform::Error> expected;
    std::vector<std::int64_t> retryStatusCodes = {502};
    int retries = 2;
  };
  const auto timedOut = Fake::urlError(platform::url_error::kTimedOut, "timed out");
  const auto lost = Fake::urlError(platform::url_error::kNetworkConnectionLost, "lost");
  const auto badServerResponse = platform::badServerResponseError();
  const ForwarderActionsResponse oneAction{{ForwarderAction{"a", std::nullopt}}};
  const Case cases[] = {
      {"200 decodes", Fake::answer(200, R"({"actions":[]})"), ForwarderActionsResponse{}},
      {"299 decodes", Fake::answer(299, R"({"actions":[{"id":"a"}]})"), oneAction},
      {"199 is refused", Fake::answer(199, R"({"actions":[]})"),
       apiError(199, R"({"actions":[]})")},
      {"300 is refused", Fake::answer(300, "moved"), apiError(300, "moved")},
      {"refused with an empty body", Fake::answer(404, ""), apiError(404, "")},
      {"refused body that is not UTF-8", Fake::answer(500, "bad \xFF\xFE"), apiError(500, "")},
      {"refused UTF-8 body is the message", Fake::answer(500, "caf\xC3\xA9"),
       apiError(500, "caf\xC3\xA9")},
      {"2xx with an empty body", Fake::answer(200, ""), undecodable("")},
      {"2xx that does not decode", Fake::answer(201, R"({"actions":null})"),
       undecodable(R"({"actions":null})")},
      {"2xx not UTF-8", Fake::answer(200, "\xFF"), undecodable("")},
      {"answer without data", Fake::answer(204, std::nullopt),
       apiError(100, "Did not receive data from API")},
      {"answer without data and a transport error",
       Fake::Outcome{std::nullopt, Fake::answer(200).response, lost}, lost},
      {"no answer, a time-out", Fake::failure(timedOut), badServerResponse},
      {"no answer, no error", Fake::Outcome{}, badServerResponse},
      {"no answer, but a body", Fake::Outcome{R"({"actions":[]})", std::nullopt, lost},
       badServerResponse},
      {"listed status with no retries left",
       Fake::answer(502, "gateway"),
       apiError(502, "gateway"),
       {502},
       0},
      {"unlisted status", Fake::answer(503, "busy"), apiError(503, "busy")},
      {"empty retry list", Fake::answer(502, "gateway"), apiError(502, "gateway"), {}, 2},
      {"transport error with a listed status is not retried",
       Fake::Outcome{std::nullopt, Fake::answer(502).response, lost}, lost},
      {"2xx is never retried", Fake::answer(200, "x"), undecodable("x"), {200}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeService();
    sink_->clear();
    session_->script(c.outcome);
    const auto result = request(c.retryStatusCodes, c.retries);
    EXPECT_EQ(result->calls, 0) << "completes on the session's queue, never inside the call";
    session_->deliverAll();
    loop_->runUntilIdle();
    EXPECT_EQ(result->calls, 1);
    if (const auto* record = std::get_if<ForwarderActionsResponse>(&c.expected)) {
      EXPECT_EQ(result->record, *record);
      EXPECT_EQ(result->error, std::nullopt);
    } else {
      EXPECT_EQ(result->record, std::nullopt);
      EXPECT_EQ(result->error, std::get<platform::Error>(c.expected));
    }
    EXPECT_EQ(session_->requestCount(), 1u);
    EXPECT_EQ(loop_->pendingTasks(), 0u);
    EXPECT_TRUE(sink_->messages().empty());
  }
}

// Each send is the builder's request, unchanged; the refusals are logged.
TEST_F(ApiServiceTest, RefusedThreeTimesWithTwoRetries) {
  const std::string path = "assets/A1/action-result";
  const QueryItems query = {{"action_id", "x"}, {"result", "FAILED"}};
  const Headers headers = {{"Content-Type", "application/json"}};
  for (const char* body : {"first", "second", "last"}) session_->script(Fake::answer(502, body));
  const auto result = request({404, 502}, 2, path, query, "body", headers, HTTPMethod::post);

  for (std::size_t send = 1; send <= 2; ++send) {
    SCOPED_TRACE(send);
    ASSERT_EQ(session_->deliverAll(), 1);
    EXPECT_EQ(result->calls, 0);
    EXPECT_EQ(loop_->nextDelay(), 30.0);
    loop_->advance(29.5);
    EXPECT_EQ(session_->requestCount(), send) << "nothing is sent before 30 seconds";
    loop_->advance(0.5);
    EXPECT_EQ(session_->requestCount(), send + 1);
  }
  ASSERT_EQ(session_->deliverAll(), 1);
  EXPECT_EQ(result->calls, 1);
  EXPECT_EQ(result->error, apiError(502, "last"));
  EXPECT_EQ(result->record, std::nullopt);
  EXPECT_EQ(loop_->pendingTasks(), 0u);
  EXPECT_EQ(loop_->now(), 60.0);

  const auto built =
      RequestBuilder(kBase).buildRequest(path, query, "body", headers, HTTPMethod::post);
  const auto requests = session_->requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& sent : requests) {
    EXPECT_EQ(sent.url, built.url);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.headers, built.headers);
    EXPECT_EQ(sent.body, "body");
    EXPECT_EQ(sent.timeoutInterval, built.timeoutInterval);
  }

  const std::string scheduled =
      "Retry scheduled: Request to " + path + " failed with a status code 502";
  const std::string retrying = "Retrying request to " + path;
  EXPECT_EQ(sink_->messages(),
            (std::vector<std::string>{scheduled, retrying, scheduled, retrying}));
  const auto records = sink_->records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].subsystem, "com.kelvane.Orvanta.quarn");
  EXPECT_EQ(records[0].category, "API Service");
  EXPECT_EQ(records[0].arguments, (std::vector<platform::LogArgument>{
                                      {path, platform::LogPrivacy::kPrivate},
                                      {std::int64_t{502}, platform::LogPrivacy::kPrivate}}));
  EXPECT_EQ(records[1].arguments,
            (std::vector<platform::LogArgument>{{path, platform::LogPrivacy::kPublic}}));
}

// Neither a waiting retry nor a request in flight keeps the service alive. Once
// it is gone, an answer still reaches its caller, while retries, whether they
// waited already or were scheduled after, send and log nothing, never complete
// and release their request.
TEST_F(ApiServiceTest, ReleasedWithARetryWaitingAndRequestsInFlight) {
  session_->script(Fake::answer(502, "gateway"));
  session_->script(Fake::answer(200, R"({"actions":[]})"));
  session_->script(Fake::answer(502, "gateway"));
  const auto waiting = request();
  const auto answered = request();
  const auto refusedLater = request();
  ASSERT_TRUE(session_->deliverNext());
  ASSERT_EQ(loop_->pendingTasks(), 1u);
  sink_->clear();

  std::weak_ptr<ApiService> weakService = service_;
  service_.reset();
  EXPECT_TRUE(weakService.expired());
  session_->deliverAll();
  EXPECT_EQ(answered->calls, 1);
  EXPECT_EQ(answered->record, ForwarderActionsResponse{});
  EXPECT_EQ(loop_->pendingTasks(), 2u);
  loop_->advance(30.0);

  EXPECT_EQ(session_->requestCount(), 3u);
  EXPECT_TRUE(sink_->messages().empty());
  EXPECT_EQ(waiting->calls, 0);
  EXPECT_EQ(refusedLater->calls, 0);
  EXPECT_EQ(waiting.use_count(), 1) << "the abandoned request's context is released";
  EXPECT_EQ(refusedLater.use_count(), 1);
}

// A status anywhere in the list is retried while one retry is left.
TEST_F(ApiServiceTest, CompletesOnTheSessionsThreadAndRetriesOnTheMainQueue) {
  makeService(Fake::Delivery::kOwnThread);
  session_->script(Fake::answer(429, "slow down"));
  session_->script(Fake::answer(200, R"({"actions":[{"id":"b"}]})"));
  const auto result = request({503, 429}, 1);
  loop_->run();  // quits from the completion
  ASSERT_FALSE(loop_->timedOut());
  ASSERT_TRUE(session_->waitUntilIdle());
  EXPECT_EQ(result->calls, 1);
  EXPECT_EQ(result->record, (ForwarderActionsResponse{{ForwarderAction{"b", std::nullopt}}}));
  EXPECT_EQ(result->error, std::nullopt);
  EXPECT_EQ(result->thread, session_->callbackThreadId());
  EXPECT_EQ(loop_->now(), 30.0);
  EXPECT_EQ(session_->requestCount(), 2u);
}

}  // namespace
}  // namespace quarn::api
