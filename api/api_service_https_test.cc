// ApiService over the real URL session against the loopback HTTPS server, for
// what the fake session cannot prove: what arrives at the server, and a
// download on a real disk and a real connection. The outcome of each kind of
// answer is tested over the fake session.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>

#include "api/api_service.h"
#include "api/file_download.h"
#include "api/service_records.h"
#include "platform/url_session.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

namespace fs = std::filesystem;
using platform::Error;

const std::string kPackage = "package bytes\n";
const std::string kPackageDigest =
    "40fa264148fd4b9e9bea4447cc4504f68832044997ab4921af95356d05556031";

testing::ScriptedServer::Options keepingConnections() {
  testing::ScriptedServer::Options options;
  options.keepAlive = true;
  return options;
}

class ApiServiceHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(folder_); }
  void TearDown() override { fs::remove_all(folder_); }

  std::shared_ptr<ApiService> makeService(std::shared_ptr<platform::FileSystem> files) {
    return ApiService::create(std::make_unique<RequestBuilder>(server_.url("/v1/")), session_,
                              platform::Logger("test", "API Service", sink_), loop_,
                              std::move(files));
  }

  // Sends one request and waits for its outcome.
  std::optional<Error> perform(const std::string& path, HTTPMethod method, QueryItems query = {},
                               std::optional<std::string> body = {}, Headers headers = {}) {
    auto outcome = std::make_shared<std::promise<std::optional<Error>>>();
    service_->performRequest<ActionResultResponse>(
        {.path = path,
         .queryItems = std::move(query),
         .body = std::move(body),
         .headers = std::move(headers),
         .method = method},
        [outcome](std::optional<ActionResultResponse>, std::optional<Error> error) {
          outcome->set_value(std::move(error));
        });
    return outcome->get_future().get();
  }

  // Downloads `path` of the server and waits for the outcome.
  std::optional<Error> download(ApiService& service, const std::string& path,
                                const fs::path& destination) {
    auto outcome = std::make_shared<std::promise<std::optional<Error>>>();
    service.downloadFile(
        server_.url(path), destination.string(), kPackageDigest,
        [outcome](std::optional<Error> error) { outcome->set_value(std::move(error)); });
    return outcome->get_future().get();
  }

  testing::HttpsServer server_{keepingConnections()};
  const fs::path folder_ =
      fs::path(::testing::TempDir()) / ("quarn-api-test-" + std::to_string(std::random_device()()));
  const fs::path destination_ = folder_ / "ForwarderInstallerPackage.pkg";
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<testing::VirtualTimeLoop> loop_ = std::make_shared<testing::VirtualTimeLoop>();
  std::shared_ptr<platform::UrlSession> session_ =
      platform::makeUrlSession({.connectTimeout = 5, .stallTimeout = 5, .caFile = server_.caFile()},
                               platform::Logger("test", "URL Session", sink_));
  std::shared_ptr<ApiService> service_ = makeService(platform::makeFileSystem());
};

// The method, the path as written (dot segments kept, "?" and "#" escaped),
// the query, the service's headers and the body reach the server unchanged.
TEST_F(ApiServiceHttpsTest, RequestsArriveAsBuilt) {
  struct Case {
    std::string path;
    HTTPMethod method;
    QueryItems query;
    std::optional<std::string> body;
    std::string target;
  };
  const std::string report = actionResultBody("checksum \"mismatch\" caf\xC3\xA9");
  const Case cases[] = {
      {"assets/A1/actions", HTTPMethod::get, {}, {}, "/v1/assets/A1/actions"},
      {"assets/A1/action-result",
       HTTPMethod::post,
       {{"action_id", "act/1 +&="}, {"result", "FAILED"}},
       report,
       "/v1/assets/A1/action-result?action_id=act%2f1+%2b%26%3d&result=FAILED"},
      {"assets/a?b#c/actions", HTTPMethod::get, {}, {}, "/v1/assets/a%3fb%23c/actions"},
      {"assets/./../../x/actions", HTTPMethod::get, {}, {}, "/v1/assets/./../../x/actions"},
      {"assets/%2e%2e/actions", HTTPMethod::get, {}, {}, "/v1/assets/%252e%252e/actions"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const bool post = c.method == HTTPMethod::post;
    server_.expect({post ? "POST" : "GET", c.target.substr(0, c.target.find('?'))})
        .respond(200, "{}");
    const auto json = std::optional<std::string>("application/json");
    EXPECT_EQ(perform(c.path, c.method, c.query, c.body,
                      post ? Headers{{"Content-Type", *json}} : Headers{}),
              std::nullopt);
    server_.verify();
    const auto received = server_.requests().back();
    EXPECT_EQ(received.target, c.target);
    EXPECT_EQ(received.header("Accept"), json);
    EXPECT_EQ(received.header("Content-Type"), post ? json : std::nullopt);
    EXPECT_EQ(received.body, c.body.value_or(""));
  }
}

// A package replaces what was at the destination, a symbolic link included
// (never written through), and leaves nothing beside it; bytes that its host
// sends beyond the announced length never reach the next answer; a file that
// cannot be made fails with the file system's error; a write that fails, or a
// refused status, ends even an endless transfer at once.
TEST_F(ApiServiceHttpsTest, DownloadsEndToEnd) {
  const fs::path victim = folder_ / "victim";
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, destination_);
  server_.expect({"GET", "/p.pkg"})
      .respondWithExcess(200, kPackage, "HTTP/1.1 500 Poisoned\r\nContent-Length: 0\r\n\r\n");
  server_.expect({"GET", "/v1/assets/A1/actions"}).respond(200, "{}");
  EXPECT_EQ(download(*service_, "/p.pkg", destination_), std::nullopt);
  EXPECT_EQ(perform("assets/A1/actions", HTTPMethod::get), std::nullopt);
  const auto contents = [](const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_FALSE(fs::is_symlink(destination_));
  EXPECT_EQ(contents(destination_), kPackage);
  EXPECT_EQ(contents(victim), "precious");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 2);

  server_.expect({"GET", "/p.pkg"}).respond(200, kPackage);
  const auto noFolder = download(*service_, "/p.pkg", folder_ / "missing" / "p.pkg");
  EXPECT_EQ(noFolder.value_or(Error{}).domain, platform::kPosixErrorDomain);
  EXPECT_EQ(noFolder.value_or(Error{}).code, ENOENT);

  const auto files = std::make_shared<testing::FakeFileSystem>();
  files->failWritesAfter(1 << 20);
  const auto endless = std::uint64_t{1} << 50;
  server_.expect({"GET", "/endless"}).respondWithGeneratedBody(endless, 200, {}, true);
  server_.expect({"GET", "/refused"}).respondWithGeneratedBody(endless, 404, {}, true);
  EXPECT_EQ(download(*makeService(files), "/endless", destination_),
            testing::FakeFileSystem::diskFullError());
  EXPECT_EQ(download(*makeService(files), "/refused", destination_),
            FileDownloaderError::errorStatusCode(404).toError());
  EXPECT_EQ(files->openStagedFiles(), 0u);
}

}  // namespace
}  // namespace quarn::api
