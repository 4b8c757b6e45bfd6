#include "tests/support/fake_url_session.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace quarn::testing {
namespace {

// What tests above the network rely on: answers in script order, only once
// delivered (kManual) or in order off the caller's thread (kOwnThread); a
// stream handler gets the status with the body and its refusal cancels; an
// unscripted request fails and counts.
TEST(FakeUrlSessionTest, AnswersAsScripted) {
  for (const auto delivery :
       {FakeUrlSession::Delivery::kManual, FakeUrlSession::Delivery::kOwnThread}) {
    FakeUrlSession session(delivery);
    session.script(FakeUrlSession::answer(200, "one"));
    session.script(FakeUrlSession::answer(201, "refused"));
    session.script(FakeUrlSession::failure(FakeUrlSession::urlError(-1001)));
    std::vector<std::string> seen;  // written by one thread at a time
    const auto caller = std::this_thread::get_id();
    const auto record = [&](std::optional<platform::HttpResponse> response,
                            std::optional<platform::Error> error) {
      seen.push_back((response ? std::to_string(response->statusCode) : "-") + "/" +
                     (error ? std::to_string(error->code) : "-") +
                     (std::this_thread::get_id() == caller ? "/caller" : ""));
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
    const bool manual = delivery == FakeUrlSession::Delivery::kManual;
    EXPECT_TRUE(manual ? seen.empty() && session.deliverAll() == 4 : session.waitUntilIdle());
    const std::string where = manual ? "/caller" : "";
    EXPECT_EQ(seen,
              (std::vector<std::string>{"one", "200/-" + where, "201 refused", "-/-999" + where,
                                        "-/-1001" + where, "-/-1004" + where}));
    EXPECT_EQ(session.unscriptedRequests(), 1u);
  }
}

}  // namespace
}  // namespace quarn::testing
