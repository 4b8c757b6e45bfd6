// Tests of the scripted loopback server itself, with the HTTP layer's own
// client so that they do not depend on the session under test elsewhere.
#include "tests/support/https_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <thread>

namespace quarn::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;
using Item = std::pair<std::string, std::string>;

// Sends targets exactly as written, without escaping them again.
httplib::Client plainClient(const ScriptedServer& server) {
  httplib::Client client("127.0.0.1", server.port());
  client.set_url_encode(false);
  return client;
}

TEST(ScriptedServerTest, RecordsRequestsAsSent) {
  ScriptedServer server(plainHttpOptions());
  server.expect({"POST", "/v1/a%2Fb/result", "x=1&name=a+b%21&flag&=v&bad=%zz"})
      .respond(201, "created", {{"X-Answer", "42"}});
  auto client = plainClient(server);
  auto result =
      client.Post("/v1/a%2Fb/result?x=1&name=a+b%21&flag&=v&bad=%zz",
                  httplib::Headers{{"X-One", "1"}, {"X-One", "2"}}, "the body", "text/plain");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 201);
  EXPECT_EQ(result->body, "created");
  EXPECT_EQ(result->get_header_value("X-Answer"), "42");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& received = requests[0];
  EXPECT_EQ(received.method, "POST");
  EXPECT_EQ(received.path, "/v1/a%2Fb/result");
  EXPECT_EQ(received.query, "x=1&name=a+b%21&flag&=v&bad=%zz");
  EXPECT_THAT(received.queryItems,
              ElementsAre(Item("x", "1"), Item("name", "a b!"), Item("flag", ""), Item("", "v"),
                          Item("bad", "%zz")));
  EXPECT_EQ(received.body, "the body");
  EXPECT_THAT(received.header("x-one"), Optional(std::string("1, 2")));
  EXPECT_THAT(received.header("Content-Type"), Optional(std::string("text/plain")));
  EXPECT_EQ(received.header("REMOTE_ADDR"), std::nullopt);
  EXPECT_THAT(server.takeProblems(), IsEmpty());
}

TEST(ScriptedServerTest, ReportsUnexpectedOutOfOrderAndMissingRequestsOnce) {
  ScriptedServer server(plainHttpOptions());
  server.expect({"GET", "/first"}).respond(200);
  server.expect({"GET", "/second"}).respond(200);
  server.expect({"GET", "/third", "q=1"}).respond(200).times(2);
  auto client = plainClient(server);
  ASSERT_TRUE(client.Get("/second"));
  auto unexpected = client.Get("/nobody-expects-this");
  ASSERT_TRUE(unexpected);
  EXPECT_EQ(unexpected->status, 500);
  ASSERT_TRUE(client.Get("/third?q=2"));  // another query: unexpected too

  EXPECT_THAT(
      server.takeProblems(),
      ElementsAre(HasSubstr("out of order: GET /second arrived while GET /first"),
                  HasSubstr("unexpected request: GET /nobody-expects-this"),
                  HasSubstr("unexpected request: GET /third?q=2"), "missing request: GET /first",
                  "missing request: GET /third?q=1 (2 more expected)"));
  EXPECT_THAT(server.takeProblems(), IsEmpty());
}

TEST(ScriptedServerTest, OtherwiseAnswersWhatNoExpectationTakes) {
  ScriptedServer server(plainHttpOptions());
  server.setStrictOrder(false);
  server.expect({"GET", "/b"}).respond(200, "b");
  server.expect({"GET", "/a"}).respond(200, "a");
  server.otherwise().respond(404, "nothing here");
  auto client = plainClient(server);
  EXPECT_EQ(client.Get("/a")->body, "a");
  EXPECT_EQ(client.Get("/b")->body, "b");
  auto other = client.Get("/b");  // /b was expected once
  EXPECT_EQ(other->status, 404);
  EXPECT_EQ(other->body, "nothing here");
  EXPECT_THAT(server.takeProblems(), IsEmpty());
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST(ScriptedServerTest, GeneratedBodyIsOnePatternWhateverTheOffsets) {
  const std::string whole = generatedBody(0, 200000);
  ASSERT_EQ(whole.size(), 200000u);
  EXPECT_EQ(generatedBody(65000, 1000), whole.substr(65000, 1000));
  EXPECT_EQ(generatedBody(131042, 5), whole.substr(131042, 5));
  EXPECT_NE(whole.substr(0, 4096), whole.substr(4096, 4096));

  ScriptedServer server(plainHttpOptions());
  server.expect({"GET", "/length"}).respondWithGeneratedBody(200000);
  server.expect({"GET", "/chunked"}).respondWithGeneratedBody(200000, 200, {}, true);
  auto client = plainClient(server);
  auto withLength = client.Get("/length");
  ASSERT_TRUE(withLength);
  EXPECT_TRUE(withLength->body == whole);
  EXPECT_EQ(withLength->get_header_value("Content-Length"), "200000");
  auto chunked = client.Get("/chunked");
  ASSERT_TRUE(chunked);
  EXPECT_TRUE(chunked->body == whole);
  EXPECT_EQ(chunked->get_header_value("Transfer-Encoding"), "chunked");
}

TEST(ScriptedServerTest, TlsServerCertificateIsTrustedThroughItsCaFile) {
  const auto folder =
      std::filesystem::temp_directory_path() /
      ("quarn-server-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  {
    ScriptedServer::Options options;
    options.certificateFolder = folder.string();
    ScriptedServer server(options);
    server.expect({"GET", "/secure"}).respond(200, "secret");
    EXPECT_EQ(server.caFile(), (folder / "ca.pem").string());
    EXPECT_TRUE(std::filesystem::exists(folder / "server.pem"));
    EXPECT_TRUE(std::filesystem::exists(folder / "server-key.pem"));
    EXPECT_EQ(server.url("/secure"),
              "https://127.0.0.1:" + std::to_string(server.port()) + "/secure");

    httplib::SSLClient client("127.0.0.1", server.port());
    client.set_ca_cert_path(server.caFile().c_str());
    client.enable_server_certificate_verification(true);
    auto result = client.Get("/secure");
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->body, "secret");
  }
  // A folder the caller named stays.
  EXPECT_TRUE(std::filesystem::exists(folder / "ca.pem"));
  std::filesystem::remove_all(folder);
}

TEST(ScriptedServerTest, StopEndsAStalledAnswerPromptly) {
  ScriptedServer server(plainHttpOptions());
  server.expect({"GET", "/stall"}).stallAfter("some", 100);
  bool answered = true;
  std::thread clientThread([&] {
    auto client = plainClient(server);
    client.set_read_timeout(std::chrono::seconds(120));
    answered = static_cast<bool>(client.Get("/stall"));
  });
  while (server.requests().empty()) std::this_thread::yield();
  server.stop();
  clientThread.join();
  // The answer broke off after its first bytes.
  EXPECT_FALSE(answered);
}

TEST(HttpsServerTest, ProblemsBecomeTestFailures) {
  EXPECT_NONFATAL_FAILURE(
      {
        HttpsServer server(plainHttpOptions());
        server.expect({"GET", "/never"});
      },
      "missing request: GET /never");
  EXPECT_NONFATAL_FAILURE(
      {
        HttpsServer server(plainHttpOptions());
        httplib::Client("127.0.0.1", server.port()).Get("/surprise");
        server.verify();
      },
      "unexpected request: GET /surprise");
}

}  // namespace
}  // namespace quarn::testing
