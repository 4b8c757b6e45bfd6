// ApiService over the fake URL session and the fake file system: the outcome
// of every kind of answer, the retries on virtual time, and the release of the
// service while requests are under way; downloads over the real session.
#include "api/api_service.h"

#include <gtest/gtest.h>

#include <future>

#include "api/file_download.h"
#include "api/service_records.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

using Fake = testing::FakeUrlSession;
using platform::Error;
using namespace std::string_literals;

// A path and a query the builder must encode, whatever the server sent.
const std::string kPath = "assets/A 1?#/action-result";
const std::string kUrl =
    "https://updates.test/v1/assets/A%201%3f%23/action-result?action_id=a%26b%3dc%2bd%00";
const std::string kPackage = "package bytes\n";
const std::string kPackageDigest =
    "40fa264148fd4b9e9bea4447cc4504f68832044997ab4921af95356d05556031";
const std::string kDestination = "/tmp/ForwarderInstallerPackage.pkg";

Error apiError(std::int64_t status, std::string message) {
  return Error{"ApiError", status, std::move(message)};
}
const auto answer = &Fake::answer;

// What a request's completion got, and how often it ran.
struct Result {
  int calls = 0;
  bool record = false;
  std::optional<Error> error;
};

class ApiServiceTest : public ::testing::Test {
 protected:
  // A fresh service, session, main loop and log.
  void SetUp() override {
    loop_ = std::make_shared<testing::VirtualTimeLoop>();
    session_ = std::make_shared<Fake>(loop_);
    sink_->clear();
    service_ =
        ApiService::create(std::make_unique<RequestBuilder>("https://updates.test/v1/"), session_,
                           platform::Logger("test", "API Service", sink_), loop_, files_);
  }

  // Sends the report request; the result fills in when its completion runs.
  std::shared_ptr<Result> request(std::vector<std::int64_t> retryStatusCodes, int retries) {
    auto result = std::make_shared<Result>();
    service_->performRequest<ForwarderActionsResponse>(
        {.path = kPath,
         .queryItems = {{"action_id", "a&b=c+d\0"s}},
         .body = "body",
         .headers = {{"Content-Type", "application/json"}},
         .method = HTTPMethod::post,
         .retryStatusCodes = std::move(retryStatusCodes),
         .retries = retries},
        [result](std::optional<ForwarderActionsResponse> record, std::optional<Error> error) {
          ++result->calls;
          result->record = record.has_value();
          result->error = std::move(error);
        });
    return result;
  }

  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<testing::FakeFileSystem> files_ = std::make_shared<testing::FakeFileSystem>();
  std::shared_ptr<testing::VirtualTimeLoop> loop_;
  std::shared_ptr<Fake> session_;
  std::shared_ptr<ApiService> service_;
};

// One request per row, with the answers to its sends; no error expected means
// a decoded record, an empty body is a body. A refused send is retried 30 s
// later on the main queue, with the same request, and logged. Every request
// accepts JSON and waits 60 s, the caller's fields after the service's.
TEST_F(ApiServiceTest, OutcomeOfEveryKindOfAnswer) {
  struct Case {
    const char* name;
    std::vector<Fake::Outcome> answers;
    std::optional<Error> error{};
    std::vector<std::int64_t> retryStatusCodes = {502};
    int retries = 2;
  };
  const auto lost = Fake::urlError(platform::url_error::kNetworkConnectionLost, "lost");
  const std::string undecodable = "Unable to decode response from API: ";
  const std::string actions = R"({"actions":[]})";
  const testing::HeaderFields kFields = {{"Accept", "application/json"},
                                         {"Content-Type", "application/json"}};
  const Case cases[] = {
      {"299 decodes", {answer(299, actions)}},
      {"199 is refused", {answer(199, "caf\xC3\xA9")}, apiError(199, "caf\xC3\xA9")},
      {"300, not UTF-8", {answer(300, "bad \xFF")}, apiError(300, "")},
      {"2xx not decoding, listed", {answer(201, "[]")}, apiError(101, undecodable + "[]"), {201}},
      {"2xx, not UTF-8", {answer(200, "\xFF")}, apiError(101, undecodable)},
      {"no answer", {Fake::failure(lost)}, platform::badServerResponseError()},
      {"no body, an error, listed", {{std::nullopt, answer(502, "").response, lost}}, lost},
      {"no body", {answer(200, std::nullopt)}, apiError(100, "Did not receive data from API")},
      {"listed, refused three times",
       {answer(502, "1"), answer(502, "2"), answer(502, "3")},
       apiError(502, "3")},
      {"listed, then success", {answer(429, ""), answer(200, actions)}, {}, {503, 429}, 1},
      {"listed, no retries", {answer(502, "")}, apiError(502, ""), {502}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (const auto& outcome : c.answers) session_->script(outcome);
    const auto result = request(c.retryStatusCodes, c.retries);
    EXPECT_EQ(result->calls, 0) << "completes after the call returned";
    loop_->advance(0.0);
    std::vector<std::string> logged;
    for (std::size_t send = 1; send < c.answers.size(); ++send) {
      ASSERT_EQ(loop_->nextDelay(), 30.0);
      loop_->advance(30.0);
      logged.push_back(
          "Retry scheduled: Request to <private> failed with a status code <private> [" + kPath +
          "] [" + std::to_string(c.answers[send - 1].response->statusCode) + "]");
      logged.push_back("Retrying request to " + kPath);
    }
    EXPECT_EQ(result->calls, 1);
    EXPECT_EQ(result->record, !c.error);
    EXPECT_EQ(result->error, c.error);
    EXPECT_EQ(loop_->pendingTasks(), 0u);
    EXPECT_EQ(sink_->shown(), logged);
    const auto sent = session_->requests();
    ASSERT_EQ(sent.size(), c.answers.size());
    for (const auto& request : sent) {
      EXPECT_EQ(request.url, kUrl);
      EXPECT_EQ(request.method, "POST");
      EXPECT_EQ(request.headers.fields(), kFields);
      EXPECT_EQ(request.body, "body");
      EXPECT_EQ(request.timeoutInterval, 60.0);
    }
  }
}

// Neither a waiting retry nor a request in flight keeps the service alive.
// Once it is gone an answer still reaches its caller, while retries, waiting
// already or refused after, send and log nothing and never complete.
TEST_F(ApiServiceTest, ReleasedWithARetryWaitingAndRequestsInFlight) {
  for (const char* body : {"gateway", R"({"actions":[]})", "gateway"}) {
    session_->script(answer(body[0] == 'g' ? 502 : 200, body));
  }
  const auto waiting = request({502}, 2);
  loop_->advance(0.0);
  ASSERT_EQ(loop_->pendingTasks(), 1u);
  const auto answered = request({502}, 2);
  const auto refusedLater = request({502}, 2);
  sink_->clear();

  service_.reset();
  loop_->advance(30.0);
  EXPECT_EQ(answered->calls, 1);
  EXPECT_TRUE(answered->record);
  EXPECT_EQ(session_->requests().size(), 3u);
  EXPECT_TRUE(sink_->messages().empty());
  EXPECT_EQ(waiting->calls + refusedLater->calls, 0);
  EXPECT_EQ(loop_->pendingTasks(), 0u);
  EXPECT_EQ(waiting.use_count() + refusedLater.use_count(), 2) << "abandoned requests are freed";
}

// One download per row, over the real session and an older file at the
// destination: only a body that passed every check replaces it, a write that
// fails, a refused status or the download's time limit (a second here) ends
// even an endless body, and no staged file stays open. Writes fail only past twice the most a data
// task keeps: a download is not capped. Bytes a host sends past the announced length stay on that
// connection, which the next row would read as its answer were it kept.
TEST_F(ApiServiceTest, DownloadOutcomes) {
  struct Case {
    const char* name;
    testing::Answer answer;
    std::string checksum = kPackageDigest;
    std::optional<Error> error{};
  };
  // Their texts are those the update run logs (tested there).
  const auto status = [](int code) { return FileDownloaderError::errorStatusCode(code).toError(); };
  const auto mismatch = [](const std::string& expected) {
    return FileDownloaderError::invalidFileChecksum(expected, kPackageDigest).toError();
  };
  const std::string upper = "40FA264148FD4B9E9BEA4447CC4504F68832044997AB4921AF95356D05556031";
  const std::uint64_t endless = std::uint64_t{1} << 50;
  const auto diskFull = testing::FakeFileSystem::diskFullError();
  const Case cases[] = {
      {"more than announced", {.body = kPackage, .generated = 64, .length = kPackage.size()}},
      {"299", {.status = 299, .body = kPackage}},
      {"300, endless", {.status = 300, .generated = endless}, kPackageDigest, status(300)},
      {"300, empty body", {.status = 300}, kPackageDigest, status(300)},
      {"digest in upper case", {.body = kPackage}, upper, mismatch(upper)},
      {"empty body", {}, sha256HexString("")},
      {"write fails", {.generated = endless}, kPackageDigest, diskFull},
      {"drips past its limit",
       {.drip = true},
       kPackageDigest,
       Fake::urlError(platform::url_error::kTimedOut, "The request timed out.")},
  };
  testing::HttpsServer server;
  const auto service = ApiService::create(
      std::make_unique<RequestBuilder>(server.url("/")),
      platform::makeUrlSession({.caFile = server.caFile()}, platform::Logger("test", "", sink_)),
      platform::Logger("test", "API Service", sink_), loop_, files_, {.timeLimit = 1});
  files_->failWritesAfter(2 * platform::UrlSession::kMaxDataTaskBodyBytes);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files_->setFile(kDestination, "older");
    server.answer("/p.pkg", c.answer);
    const auto outcome = std::make_shared<std::promise<std::optional<Error>>>();
    service->downloadFile(server.url("/p.pkg"), kDestination, c.checksum,
                          [outcome](std::optional<Error> e) { outcome->set_value(std::move(e)); });
    auto done = outcome->get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(done.get(), c.error);
    EXPECT_EQ(files_->readFile(kDestination), c.error ? "older" : c.answer.body);
    EXPECT_EQ(files_->openStagedFiles(), 0u);
  }
}

}  // namespace
}  // namespace quarn::api
