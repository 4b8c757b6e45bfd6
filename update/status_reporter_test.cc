#include "update/status_reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/url_session.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::update {
namespace {

using testing::HttpsServer;

// A reporter for asset A1 and action X9 whose service is a loopback server;
// retries run on a virtual-time loop.
class StatusReporterTest : public ::testing::Test {
 protected:
  // Reports `reason` and serves the loop until the completion has run.
  void report(const std::string& reason, std::string baseUrl = {}) {
    if (baseUrl.empty()) baseUrl = server_.url("/v1/");
    auto session = platform::makeUrlSession(
        {.connectTimeout = 5, .caFile = server_.caFile()},
        platform::Logger("com.kelvane.Orvanta.quarn", "URL Session", sink_));
    auto apiService =
        api::ApiService::create(std::make_unique<api::RequestBuilder>(baseUrl), session,
                                platform::Logger("com.kelvane.Orvanta.quarn", "API Service", sink_),
                                loop_, std::make_shared<testing::FakeFileSystem>());
    StatusReporter reporter(
        "A1", "X9", apiService,
        platform::Logger("com.kelvane.Orvanta.Updater", "Package Updater", sink_));
    reporter.reportFailure(reason, [this] {
      ++completions_;
      loop_->quit();
    });
    loop_->run();
    ASSERT_FALSE(loop_->timedOut());
  }

  std::vector<std::string> reporterMessages() const {
    std::vector<std::string> messages;
    for (const auto& record : sink_->records()) {
      if (record.subsystem != "com.kelvane.Orvanta.Updater") continue;
      messages.push_back(record.text);
      EXPECT_EQ(record.messageId ? record.messageId->hex() : "",
                "81f0974ec05c4a0dbabf2a2a4549e5af");  // a failed report, searched for
    }
    return messages;
  }

  HttpsServer server_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<testing::VirtualTimeLoop> loop_ = std::make_shared<testing::VirtualTimeLoop>();
  int completions_ = 0;
};

TEST_F(StatusReporterTest, SendsTheFailedActionResult) {
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(200, "{}");
  report("The package is not signed.");
  server_.verify();

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  auto items = requests[0].queryItems;
  std::sort(items.begin(), items.end());
  EXPECT_EQ(items, (testing::HeaderFields{{"action_id", "X9"}, {"result", "FAILED"}}));
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("Accept"), "application/json");
  EXPECT_EQ(requests[0].body, R"("update failed because The package is not signed.")");
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(reporterMessages().empty());
}

TEST_F(StatusReporterTest, AnUndecodableAnswerIsLoggedAsAFailedReport) {
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(200, "");
  report("reason");
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(reporterMessages(),
            std::vector<std::string>{"Error reporting installation failed: Unable to decode "
                                     "response from API: "});
}

TEST_F(StatusReporterTest, Status502IsRetriedTwiceThirtySecondsApart) {
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(502, "busy").times(2);
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(200, R"({"code":0})");
  report("reason \"quoted\"");
  server_.verify();
  EXPECT_EQ(server_.requests().size(), 3u);
  EXPECT_DOUBLE_EQ(loop_->now(), 60.0);
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(reporterMessages().empty());
  EXPECT_EQ(server_.requests()[2].body, R"("update failed because reason \"quoted\"")");
}

TEST_F(StatusReporterTest, Status500IsNotRetried) {
  server_.expect({"POST", "/v1/assets/A1/action-result"}).respond(500, "internal");
  report("reason");
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(reporterMessages(),
            std::vector<std::string>{"Error reporting installation failed: internal"});
}

TEST_F(StatusReporterTest, AnUnreachableServiceIsLogged) {
  server_.stop();
  report("reason");
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(reporterMessages(),
            std::vector<std::string>{"Error reporting installation failed: " +
                                     platform::badServerResponseError().description});
}

}  // namespace
}  // namespace quarn::update
