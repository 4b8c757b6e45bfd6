#include "tests/support/fake_url_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/virtual_time_loop.h"

namespace quarn::testing {
namespace {

// What tests above the network rely on: answers in script order, only once
// delivered, by the test or by the callback queue; a stream handler gets the
// status with the body and its refusal cancels; an unscripted request fails
// and counts.
TEST(FakeUrlSessionTest, AnswersAsScripted) {
  for (const bool manual : {true, false}) {
    const auto queue = std::make_shared<VirtualTimeLoop>();
    FakeUrlSession session(manual ? nullptr : queue);
    session.script(FakeUrlSession::answer(200, "one"));
    session.script(FakeUrlSession::answer(201, "refused"));
    session.script(FakeUrlSession::failure(FakeUrlSession::urlError(-1001)));
    std::vector<std::string> seen;
    const auto record = [&](std::optional<platform::HttpResponse> response,
                            std::optional<platform::Error> error) {
      seen.push_back((response ? std::to_string(response->statusCode) : "-") + "/" +
                     (error ? std::to_string(error->code) : "-"));
    };
    session.dataTask({}, [&](std::optional<std::string> body, auto response, auto error) {
      seen.push_back(body.value_or("-"));
      record(response, error);
    });
    session.streamTask(
        {},
        [&](std::int64_t status, std::string_view chunk) {
          seen.push_back(std::to_string(status) + " " + std::string(chunk));
          return false;
        },
        record);
    for (int i = 0; i < 2; ++i) session.dataTask({}, [&](auto, auto r, auto e) { record(r, e); });
    EXPECT_TRUE(seen.empty());
    if (manual) {
      EXPECT_EQ(session.deliverAll(), 4);
    } else {
      queue->advance(0);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "200/-", "201 refused", "-/-999", "-/-1001",
                                              "-/-1004"}));
    EXPECT_EQ(session.unscriptedRequests(), 1u);
  }
}

}  // namespace
}  // namespace quarn::testing
