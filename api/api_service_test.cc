// ApiService over the fake URL session: what each kind of answer becomes, and
// the request a failure report is sent as. The retries as the update run meets
// them, the release of the service while a retry waits, and the actions
// request, are rows of the composition's table.
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

// One answer per row, none of them retried; no error expected means a decoded
// record, and an empty body is a body. The path and the query reach the
// service as they were given, whatever characters they hold (the rest of the
// request is a row of the composition's table).
TEST(ApiServiceTest, OutcomeOfEveryKindOfAnswer) {
  const auto lost = Fake::urlError(platform::url_error::kNetworkConnectionLost, "lost");
  const std::pair<Fake::Outcome, std::optional<Error>> cases[] = {
      {Fake::answer(299, "{}"), std::nullopt},
      {Fake::answer(199, "caf\xC3\xA9"), Error{"ApiError", 199, "caf\xC3\xA9"}},
      {Fake::answer(300, "bad \xFF"), Error{"ApiError", 300, ""}},
      {Fake::answer(201, "[]"), Error{"ApiError", 101, "Unable to decode response from API: []"}},
      {Fake::answer(200, "\xFF"), Error{"ApiError", 101, "Unable to decode response from API: "}},
      {{std::nullopt, std::nullopt, lost}, platform::badServerResponseError()},
      {{std::nullopt, Fake::answer(502).response, lost}, lost},
      {Fake::answer(200, std::nullopt), Error{"ApiError", 100, "Did not receive data from API"}},
  };
  for (const auto& [answer, error] : cases) {
    SCOPED_TRACE(error ? error->description : "decodes");
    const auto loop = std::make_shared<testing::VirtualTimeLoop>();
    const auto session = std::make_shared<Fake>(loop, std::vector{answer});
    const auto service = ApiService::create(
        std::make_unique<RequestBuilder>("https://updates.test/v1/"), session,
        platform::Logger("", "", std::make_shared<testing::MemoryLogSink>()), loop, 30.0);
    std::vector<std::optional<Error>> outcomes;
    service->reportFailedAction("A 1?#", "a&b=c+d\0"s, "why", [&](auto record, auto failure) {
      EXPECT_NE(record.has_value(), failure.has_value());
      outcomes.push_back(std::move(failure));
    });
    loop->advance(60.0);
    EXPECT_EQ(outcomes, std::vector{error});
    const auto sent = session->requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].url,
              "https://updates.test/v1/assets/A%201%3f%23/action-result?action_id=a%26b%3dc%2bd%00"
              "&result=FAILED");
    EXPECT_EQ(sent[0].timeoutInterval, 60.0);
  }
}

}  // namespace
}  // namespace quarn::api
