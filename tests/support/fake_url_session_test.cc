#include "tests/support/fake_url_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace quarn::testing {
namespace {

platform::HttpRequest get(std::string url) {
  platform::HttpRequest request;
  request.url = std::move(url);
  return request;
}

TEST(FakeUrlSessionTest, AnswersInScriptOrderAndOnlyWhenDelivered) {
  FakeUrlSession session;
  session.script(FakeUrlSession::answer(200, "one"));
  session.script(FakeUrlSession::failure(
      FakeUrlSession::urlError(platform::url_error::kTimedOut, "timed out")));
  std::vector<std::string> seen;
  for (const char* url : {"https://h/1", "https://h/2", "https://h/3"}) {
    session.dataTask(get(url), [&seen](std::optional<std::string> body,
                                       std::optional<platform::HttpResponse> response,
                                       std::optional<platform::Error> error) {
      seen.push_back((body ? *body : "-") + "/" +
                     (response ? std::to_string(response->statusCode) : "-") + "/" +
                     (error ? std::to_string(error->code) : "-"));
    });
  }
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(session.pendingDeliveries(), 3u);
  EXPECT_EQ(session.deliverAll(), 3);
  EXPECT_EQ(seen, (std::vector<std::string>{"one/200/-", "-/-/-1001", "-/-/-1004"}));
  EXPECT_EQ(session.unscriptedRequests(), 1u);
  ASSERT_EQ(session.requestCount(), 3u);
  EXPECT_EQ(session.requests()[2].url, "https://h/3");
}

TEST(FakeUrlSessionTest, StreamTaskHandsTheBodyInOneChunk) {
  FakeUrlSession session;
  session.script(FakeUrlSession::answer(203, "payload"));
  session.script(FakeUrlSession::answer(200, "payload"));
  std::string received;
  std::optional<platform::HttpResponse> response;
  session.streamTask(
      get("https://h/pkg"),
      [&](std::int64_t status, std::string_view chunk) {
        received += std::to_string(status) + " " + std::string(chunk);
        return true;
      },
      [&](std::optional<platform::HttpResponse> r, std::optional<platform::Error>) {
        response = std::move(r);
      });
  std::optional<platform::Error> error;
  session.streamTask(
      get("https://h/pkg"), [](std::int64_t, std::string_view) { return false; },
      [&](std::optional<platform::HttpResponse>, std::optional<platform::Error> e) {
        error = std::move(e);
      });
  session.deliverAll();
  EXPECT_EQ(received, "203 payload");
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->statusCode, 203);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, platform::url_error::kCancelled);
}

TEST(FakeUrlSessionTest, OwnThreadRunsCompletionsInOrderOffTheCallersThread) {
  FakeUrlSession session(FakeUrlSession::Delivery::kOwnThread);
  std::vector<int> order;  // written only on the session's thread
  std::atomic<bool> offCaller{true};
  const auto caller = std::this_thread::get_id();
  for (int i = 0; i < 20; ++i) {
    session.script(FakeUrlSession::answer(200 + i));
    session.dataTask(get("https://h/"), [&, i](std::optional<std::string>,
                                               std::optional<platform::HttpResponse> response,
                                               std::optional<platform::Error>) {
      if (std::this_thread::get_id() == caller) offCaller = false;
      EXPECT_EQ(response->statusCode, 200 + i);
      order.push_back(i);
    });
  }
  ASSERT_TRUE(session.waitUntilIdle());
  EXPECT_TRUE(offCaller);
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
}

}  // namespace
}  // namespace quarn::testing
