// ApiService over the fake URL session: what each kind of answer becomes, the
// request a failure report is sent as, and the release of the service while
// requests are under way. The retries as the update run meets them, and the
// actions request, are rows of the composition's table.
#include "api/api_service.h"

#include <gtest/gtest.h>

#include "tests/support/fake_url_session.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

using Fake = testing::FakeUrlSession;
using platform::Error;
using namespace std::string_literals;
using Outcomes = std::vector<std::optional<Error>>;

Error apiError(std::int64_t status, std::string message) {
  return Error{"ApiError", status, std::move(message)};
}

// A service on a fresh session that gives `answers`, main loop and log.
struct Client {
  // Reports a failure of an action whose identifiers the builder must encode.
  // Each time the completion runs, what it got goes to `outcomes`: the error,
  // or none for a record.
  void report() {
    service->reportFailedAction("A 1?#", "a&b=c+d\0"s, "why",
                                [outcomes = outcomes](std::optional<ActionResultResponse> record,
                                                      std::optional<Error> error) {
                                  EXPECT_NE(record.has_value(), error.has_value());
                                  outcomes->push_back(std::move(error));
                                });
  }

  const std::vector<Fake::Outcome> answers;
  const std::shared_ptr<testing::VirtualTimeLoop> loop =
      std::make_shared<testing::VirtualTimeLoop>();
  const std::shared_ptr<Fake> session = std::make_shared<Fake>(loop, answers);
  const std::shared_ptr<testing::MemoryLogSink> sink = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<ApiService> service =
      ApiService::create(std::make_unique<RequestBuilder>("https://updates.test/v1/"), session,
                         platform::Logger("test", "API Service", sink), loop, 30.0);
  const std::shared_ptr<Outcomes> outcomes = std::make_shared<Outcomes>();
};

// One answer per row, none of them retried; no error expected means a decoded
// record, and an empty body is a body. The path and the query reach the
// service as they were given, whatever characters they hold (the rest of the
// request is a row of the composition's table).
TEST(ApiServiceTest, OutcomeOfEveryKindOfAnswer) {
  const auto lost = Fake::urlError(platform::url_error::kNetworkConnectionLost, "lost");
  const std::string undecodable = "Unable to decode response from API: ";
  const std::pair<Fake::Outcome, std::optional<Error>> cases[] = {
      {Fake::answer(299, "{}"), std::nullopt},
      {Fake::answer(199, "caf\xC3\xA9"), apiError(199, "caf\xC3\xA9")},
      {Fake::answer(300, "bad \xFF"), apiError(300, "")},
      {Fake::answer(201, "[]"), apiError(101, undecodable + "[]")},
      {Fake::answer(200, "\xFF"), apiError(101, undecodable)},
      {{std::nullopt, std::nullopt, lost}, platform::badServerResponseError()},
      {{std::nullopt, Fake::answer(502).response, lost}, lost},
      {Fake::answer(200, std::nullopt), apiError(100, "Did not receive data from API")},
  };
  for (const auto& [answer, error] : cases) {
    SCOPED_TRACE(error ? error->description : "decodes");
    Client client{{answer}};
    client.report();
    client.loop->advance(60.0);
    EXPECT_EQ(*client.outcomes, Outcomes{error});
    const auto sent = client.session->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url,
              "https://updates.test/v1/assets/A%201%3f%23/action-result?action_id=a%26b%3dc%2bd%00"
              "&result=FAILED");
    EXPECT_EQ(sent[0].timeoutInterval, 60.0);
  }
}

// Neither a waiting retry nor a request in flight keeps the service alive.
// Once it is gone an answer still reaches its caller, while retries, waiting
// already or refused after, send and log nothing and never complete: their
// completions are freed, none is left waiting.
TEST(ApiServiceTest, ReleasedWithARetryWaitingAndRequestsInFlight) {
  Client client{{Fake::answer(502), Fake::answer(200, "{}"), Fake::answer(502)}};
  client.report();
  client.loop->advance(0.0);
  ASSERT_EQ(client.loop->pendingTasks(), 1u);
  client.report();
  client.report();
  client.sink->clear();

  client.service.reset();
  client.loop->advance(30.0);
  EXPECT_EQ(*client.outcomes, Outcomes{std::nullopt});
  EXPECT_EQ(client.session->requests().size(), 3u);
  EXPECT_TRUE(client.sink->records().empty());
  EXPECT_EQ(client.outcomes.use_count(), 1);
}

}  // namespace
}  // namespace quarn::api
