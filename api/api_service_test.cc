#include "api/api_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/service_records.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

using testing::FakeUrlSession;
using namespace std::string_literals;

constexpr const char* kBase = "https://updates.example.test/v1/";
constexpr const char* kActionsPath = "assets/A1/actions";

platform::Error apiError(std::int64_t status, std::string message) {
  return ApiError{status, std::move(message)}.toError();
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
  void makeService(FakeUrlSession::Delivery delivery = FakeUrlSession::Delivery::kManual) {
    session_ = std::make_shared<FakeUrlSession>(delivery);
    service_ = ApiService::create(std::make_unique<RequestBuilder>(kBase), session_,
                                  platform::Logger(std::string(ApiService::kLogSubsystem),
                                                   std::string(ApiService::kLogCategory), sink_),
                                  loop_);
  }
  void SetUp() override { makeService(); }

  // Starts a GET of the actions; the returned result fills in when it ends.
  std::shared_ptr<Result> request(std::vector<std::int64_t> retryStatusCodes = {502},
                                  int retries = 2, std::string path = kActionsPath,
                                  QueryItems query = {}, std::optional<std::string> body = {},
                                  Headers headers = {}, HTTPMethod method = HTTPMethod::get) {
    auto result = std::make_shared<Result>();
    service_->performRequest<ForwarderActionsResponse>(
        std::move(path), std::move(query), std::move(body), std::move(headers), method,
        std::move(retryStatusCodes), retries,
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
    FakeUrlSession::Outcome outcome;
    std::optional<ForwarderActionsResponse> record;
    std::optional<platform::Error> error;
    std::vector<std::int64_t> retryStatusCodes = {502};
    int retries = 2;
  };
  const auto timedOut = FakeUrlSession::urlError(platform::url_error::kTimedOut, "timed out");
  const auto lost = FakeUrlSession::urlError(platform::url_error::kNetworkConnectionLost, "lost");
  const ForwarderActionsResponse oneAction{{ForwarderAction{"a", std::nullopt}}};
  const Case cases[] = {
      {"200 decodes", FakeUrlSession::answer(200, R"({"actions":[]})"), ForwarderActionsResponse{},
       std::nullopt},
      {"299 decodes", FakeUrlSession::answer(299, R"({"actions":[{"id":"a"}]})"), oneAction,
       std::nullopt},
      {"199 is refused", FakeUrlSession::answer(199, R"({"actions":[]})"), std::nullopt,
       apiError(199, R"({"actions":[]})")},
      {"300 is refused", FakeUrlSession::answer(300, "moved"), std::nullopt,
       apiError(300, "moved")},
      {"refused with an empty body", FakeUrlSession::answer(404, ""), std::nullopt,
       apiError(404, "")},
      {"refused body that is not UTF-8", FakeUrlSession::answer(500, "bad \xFF\xFE"), std::nullopt,
       apiError(500, "")},
      {"refused UTF-8 body is the message", FakeUrlSession::answer(500, "caf\xC3\xA9"),
       std::nullopt, apiError(500, "caf\xC3\xA9")},
      {"2xx with an empty body", FakeUrlSession::answer(200, ""), std::nullopt,
       apiError(101, "Unable to decode response from API: ")},
      {"2xx that does not decode", FakeUrlSession::answer(201, R"({"actions":null})"), std::nullopt,
       apiError(101, R"(Unable to decode response from API: {"actions":null})")},
      {"2xx not UTF-8", FakeUrlSession::answer(200, "\xFF"), std::nullopt,
       apiError(101, "Unable to decode response from API: ")},
      {"answer without data", FakeUrlSession::answer(204, std::nullopt), std::nullopt,
       apiError(100, "Did not receive data from API")},
      {"answer without data and a transport error",
       FakeUrlSession::Outcome{std::nullopt, FakeUrlSession::answer(200).response, lost},
       std::nullopt, lost},
      {"no answer, a time-out", FakeUrlSession::failure(timedOut), std::nullopt,
       platform::badServerResponseError()},
      {"no answer, no error", FakeUrlSession::Outcome{}, std::nullopt,
       platform::badServerResponseError()},
      {"no answer, but a body", FakeUrlSession::Outcome{R"({"actions":[]})", std::nullopt, lost},
       std::nullopt, platform::badServerResponseError()},
      {"listed status with no retries left",
       FakeUrlSession::answer(502, "gateway"),
       std::nullopt,
       apiError(502, "gateway"),
       {502},
       0},
      {"unlisted status", FakeUrlSession::answer(503, "busy"), std::nullopt, apiError(503, "busy")},
      {"empty retry list",
       FakeUrlSession::answer(502, "gateway"),
       std::nullopt,
       apiError(502, "gateway"),
       {},
       2},
      {"transport error with a listed status is not retried",
       FakeUrlSession::Outcome{std::nullopt, FakeUrlSession::answer(502).response, lost},
       std::nullopt, lost},
      {"2xx is never retried",
       FakeUrlSession::answer(200, "x"),
       std::nullopt,
       apiError(101, "Unable to decode response from API: x"),
       {200},
       2},
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
    EXPECT_EQ(result->record, c.record);
    EXPECT_EQ(result->error, c.error);
    EXPECT_EQ(session_->requestCount(), 1u);
    EXPECT_EQ(loop_->pendingTasks(), 0u);
    EXPECT_TRUE(sink_->messages().empty());
  }
}

TEST_F(ApiServiceTest, SendsWhatTheBuilderBuilds) {
  session_->script(FakeUrlSession::answer(200, R"({"actions":[]})"));
  request({502}, 2, "assets/A1/action-result", {{"action_id", "x"}, {"result", "FAILED"}},
          R"("update failed because y")", {{"Content-Type", "application/json"}}, HTTPMethod::post);
  const RequestBuilder builder(kBase);
  const auto expected = builder.buildRequest(
      "assets/A1/action-result", {{"action_id", "x"}, {"result", "FAILED"}},
      R"("update failed because y")", {{"Content-Type", "application/json"}}, HTTPMethod::post);
  ASSERT_EQ(session_->requestCount(), 1u);
  const auto sent = session_->requests()[0];
  EXPECT_EQ(sent.url, expected.url);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.headers, expected.headers);
  EXPECT_EQ(sent.body, expected.body);
  EXPECT_FALSE(sent.allowsConstrainedNetworkAccess);
}

TEST_F(ApiServiceTest, RefusedThreeTimesWithTwoRetries) {
  const std::string path = "assets/A1/action-result";
  session_->script(FakeUrlSession::answer(502, "first"));
  session_->script(FakeUrlSession::answer(502, "second"));
  session_->script(FakeUrlSession::answer(502, "last"));
  const auto result = request({404, 502}, 2, path, {{"action_id", "x"}, {"result", "FAILED"}},
                              "body", {{"Content-Type", "application/json"}}, HTTPMethod::post);

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

  const auto requests = session_->requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& sent : requests) {
    EXPECT_EQ(sent.url, requests[0].url);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.headers, requests[0].headers);
    EXPECT_EQ(sent.body, "body");
  }
  EXPECT_NE(requests[0].url.find("action_id=x"), std::string::npos);

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

TEST_F(ApiServiceTest, RetryThatSucceeds) {
  session_->script(FakeUrlSession::answer(429, "slow down"));
  session_->script(FakeUrlSession::answer(200, R"({"actions":[{"id":"b"}]})"));
  const auto result = request({503, 429}, 1);
  session_->deliverAll();
  loop_->advance(30.0);
  session_->deliverAll();
  EXPECT_EQ(result->calls, 1);
  EXPECT_EQ(result->record, (ForwarderActionsResponse{{ForwarderAction{"b", std::nullopt}}}));
  EXPECT_EQ(result->error, std::nullopt);
  EXPECT_EQ(session_->requestCount(), 2u);
}

TEST_F(ApiServiceTest, ReleasedWhileARetryWaits) {
  session_->script(FakeUrlSession::answer(502, "gateway"));
  const auto result = request();
  session_->deliverAll();
  ASSERT_EQ(loop_->pendingTasks(), 1u);
  sink_->clear();

  std::weak_ptr<ApiService> weakService = service_;
  service_.reset();
  EXPECT_TRUE(weakService.expired()) << "a waiting retry does not keep the service alive";
  loop_->advance(30.0);
  EXPECT_EQ(session_->requestCount(), 1u);
  EXPECT_TRUE(sink_->messages().empty());
  EXPECT_EQ(result->calls, 0);
  EXPECT_EQ(result.use_count(), 1) << "the abandoned request's context is released";
}

TEST_F(ApiServiceTest, ReleasedWhileInFlight) {
  session_->script(FakeUrlSession::answer(200, R"({"actions":[]})"));
  const auto answered = request();
  session_->script(FakeUrlSession::answer(502, "gateway"));
  const auto retried = request();

  std::weak_ptr<ApiService> weakService = service_;
  service_.reset();
  EXPECT_TRUE(weakService.expired()) << "a request in flight does not keep the service alive";
  session_->deliverAll();
  EXPECT_EQ(answered->calls, 1);
  EXPECT_EQ(answered->record, ForwarderActionsResponse{});

  // The refused one is still scheduled, but nothing is logged for a service
  // that is gone and the retry is abandoned.
  EXPECT_EQ(loop_->pendingTasks(), 1u);
  loop_->advance(30.0);
  EXPECT_EQ(retried->calls, 0);
  EXPECT_EQ(session_->requestCount(), 2u);
  EXPECT_TRUE(sink_->messages().empty());
}

TEST_F(ApiServiceTest, CompletesOnTheSessionsThreadAndRetriesOnTheMainQueue) {
  makeService(FakeUrlSession::Delivery::kOwnThread);
  session_->script(FakeUrlSession::answer(502, "gateway"));
  session_->script(FakeUrlSession::answer(200, R"({"actions":[]})"));
  const auto result = request();
  loop_->run();  // quits from the completion
  ASSERT_FALSE(loop_->timedOut());
  ASSERT_TRUE(session_->waitUntilIdle());
  EXPECT_EQ(result->calls, 1);
  EXPECT_EQ(result->record, ForwarderActionsResponse{});
  EXPECT_EQ(result->thread, session_->callbackThreadId());
  EXPECT_EQ(loop_->now(), 30.0);
  EXPECT_EQ(session_->requestCount(), 2u);
}

TEST(ApiErrorTest, IsAnErrorWhoseDescriptionIsTheMessage) {
  EXPECT_EQ((ApiError{404, "Not Found"}.toError()),
            (platform::Error{"ApiError", 404, "Not Found"}));
}

}  // namespace
}  // namespace quarn::api
