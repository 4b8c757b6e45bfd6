// ApiService over the real URL session against the scripted loopback HTTPS
// server: what arrives at the server, and what real failures give the caller.
// The outcome of each kind of answer is tested over the fake session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/api_service.h"
#include "api/service_records.h"
#include "platform/url_session.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

using ::testing::Optional;
using ::testing::UnorderedElementsAre;
using Item = std::pair<std::string, std::string>;

template <class Record>
struct Result {
  int calls = 0;
  std::optional<Record> record;
  std::optional<platform::Error> error;
};

class ApiServiceHttpsTest : public ::testing::Test {
 protected:
  // Sends one request and serves the main queue until its completion ran.
  template <class Record>
  Result<Record> perform(std::string path, QueryItems query, std::optional<std::string> body,
                         Headers headers, HTTPMethod method) {
    auto result = std::make_shared<Result<Record>>();
    service_->performRequest<Record>(
        {
            .path = std::move(path),
            .queryItems = std::move(query),
            .body = std::move(body),
            .headers = std::move(headers),
            .method = method,
            .retryStatusCodes = {502},
            .retries = 2,
        },
        [result, loop = loop_](std::optional<Record> record, std::optional<platform::Error> error) {
          ++result->calls;
          result->record = std::move(record);
          result->error = std::move(error);
          loop->quit();
        });
    loop_->run();
    EXPECT_FALSE(loop_->timedOut());
    return *result;
  }

  Result<ForwarderActionsResponse> getActions() {
    return perform<ForwarderActionsResponse>("assets/A1/actions", {}, std::nullopt, {},
                                             HTTPMethod::get);
  }

  testing::HttpsServer server_;
  std::shared_ptr<testing::VirtualTimeLoop> loop_;  // set by makeService()
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<ApiService> service_ = makeService();

  // A service on a fresh main loop (a loop that was quit stays quit).
  std::shared_ptr<ApiService> makeService() {
    loop_ = std::make_shared<testing::VirtualTimeLoop>();
    return ApiService::create(std::make_unique<RequestBuilder>(server_.url("/v1/")),
                              platform::makeUrlSession({.caFile = server_.caFile()},
                                                       platform::Logger("com.kelvane.Orvanta.quarn",
                                                                        "URL Session", sink_)),
                              platform::Logger("com.kelvane.Orvanta.quarn", "API Service", sink_),
                              loop_, std::make_shared<testing::FakeFileSystem>());
  }
};

TEST_F(ApiServiceHttpsTest, PendingActionsRequestArrivesAsBuilt) {
  server_.expect({"GET", "/v1/assets/A1/actions", ""})
      .respond(200, R"({"actions":[{"id":"x","update":{"download_url":"https://cdn.example/p.pkg",
                      "binary_sha256":"abc"}}]})",
               {{"Content-Type", "application/json"}});
  const auto result = getActions();
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.record, (ForwarderActionsResponse{{ForwarderAction{
                               "x", ForwarderUpdateAction{"https://cdn.example/p.pkg", "abc"}}}}));

  server_.verify();
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_THAT(requests[0].header("Accept"), Optional(std::string("application/json")));
  EXPECT_EQ(requests[0].header("Content-Type"), std::nullopt);
  EXPECT_EQ(requests[0].body, "");
}

TEST_F(ApiServiceHttpsTest, FailureReportArrivesAsBuilt) {
  const std::string body = actionResultBody("checksum \"mismatch\" caf\xC3\xA9");
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(200, "{}");
  const auto result = perform<ActionResultResponse>(
      "assets/A1/action-result", {{"action_id", "act/1 +&="}, {"result", "FAILED"}}, body,
      {{"Content-Type", "application/json"}}, HTTPMethod::post);
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_TRUE(result.record.has_value());

  server_.verify();
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& received = requests[0];
  EXPECT_EQ(received.method, "POST");
  EXPECT_THAT(received.queryItems,
              UnorderedElementsAre(Item("action_id", "act/1 +&="), Item("result", "FAILED")));
  EXPECT_THAT(received.header("Accept"), Optional(std::string("application/json")));
  EXPECT_THAT(received.header("Content-Type"), Optional(std::string("application/json")));
  EXPECT_EQ(received.body, body);
}

// Every segment of the identifier reaches the server as written: dot segments
// are not resolved, "?" and "#" stay in the path, and only "/" separates.
TEST_F(ApiServiceHttpsTest, IdentifiersReachTheServerAsWritten) {
  struct Case {
    std::string identifier;
    HTTPMethod method;
    std::string path;
  };
  const Case cases[] = {
      {"a?b#c", HTTPMethod::get, "/v1/assets/a%3fb%23c/actions"},
      {".", HTTPMethod::get, "/v1/assets/./actions"},
      {"..", HTTPMethod::get, "/v1/assets/../actions"},
      {"../../x", HTTPMethod::get, "/v1/assets/../../x/actions"},
      {"%2e%2e", HTTPMethod::get, "/v1/assets/%252e%252e/actions"},
      {"a/b", HTTPMethod::get, "/v1/assets/a/b/actions"},
      {"..", HTTPMethod::post, "/v1/assets/../action-result"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identifier);
    service_ = makeService();
    if (c.method == HTTPMethod::get) {
      server_.expect({"GET", c.path, ""}).respond(200, R"({"actions":[]})");
      const auto result = perform<ForwarderActionsResponse>("assets/" + c.identifier + "/actions",
                                                            {}, std::nullopt, {}, c.method);
      EXPECT_EQ(result.error, std::nullopt) << result.error->description;
    } else {
      server_.expect({"POST", c.path, "result=FAILED"}).respond(200, "{}");
      const auto result = perform<ActionResultResponse>("assets/" + c.identifier + "/action-result",
                                                        {{"result", "FAILED"}}, "{}", {}, c.method);
      EXPECT_EQ(result.error, std::nullopt) << result.error->description;
    }
    server_.verify();
  }
}

TEST_F(ApiServiceHttpsTest, RefusedThreeTimesWithTwoRetries) {
  server_.expect({"GET", "/v1/assets/A1/actions"}).respond(502, "first");
  server_.expect({"GET", "/v1/assets/A1/actions"}).respond(502, "second");
  server_.expect({"GET", "/v1/assets/A1/actions"}).respond(502, "last");
  const auto result = getActions();
  EXPECT_EQ(result.error, (ApiError{502, "last"}.toError()));
  EXPECT_EQ(loop_->now(), 60.0);
  EXPECT_EQ(sink_->messages().size(), 4u);
  server_.verify();
}

TEST_F(ApiServiceHttpsTest, NoServerGivesBadServerResponse) {
  server_.stop();
  const auto result = getActions();
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.error, platform::badServerResponseError());
}

}  // namespace
}  // namespace quarn::api
