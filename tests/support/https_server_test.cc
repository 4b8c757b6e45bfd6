// Tests of the scripted loopback server itself, with the HTTP layer's own
// client so that they do not depend on the session under test elsewhere. They
// cover what a test relying on the server would silently get wrong: requests
// matched loosely, problems not reported, a generated body that would hide
// lost or reordered pieces.
#include "tests/support/https_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <httplib.h>

namespace quarn::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Requests match on the path and query as sent (not decoded); each problem is
// reported once.
TEST(ScriptedServerTest, ReportsEachProblemOnce) {
  ScriptedServer server(plainHttpOptions());
  server.expect({"GET", "/first"});
  server.expect({"GET", "/a%2Fb"});
  server.expect({"GET", "/third", "q=1"}).times(2);
  httplib::Client client("127.0.0.1", server.port());
  client.set_url_encode(false);  // sends targets exactly as written
  EXPECT_EQ(client.Get("/a%2Fb")->status, 200);
  EXPECT_EQ(client.Get("/a/b")->status, 500);
  EXPECT_EQ(client.Get("/third?q=2")->status, 500);
  EXPECT_EQ(server.requests().at(0).path, "/a%2Fb");
  EXPECT_THAT(
      server.takeProblems(),
      ElementsAre(HasSubstr("out of order: GET /a%2Fb arrived while GET /first"),
                  HasSubstr("unexpected request: GET /a/b"),
                  HasSubstr("unexpected request: GET /third?q=2"), "missing request: GET /first",
                  "missing request: GET /third?q=1 (2 more expected)"));
  EXPECT_THAT(server.takeProblems(), IsEmpty());
}

TEST(HttpsServerTest, ProblemsBecomeTestFailures) {
  EXPECT_NONFATAL_FAILURE(HttpsServer(plainHttpOptions()).expect({"GET", "/never"}),
                          "missing request: GET /never");
  EXPECT_NONFATAL_FAILURE(
      {
        HttpsServer server(plainHttpOptions());
        httplib::Client("127.0.0.1", server.port()).Get("/surprise");
        server.verify();
      },
      "unexpected request: GET /surprise");
}

TEST(ScriptedServerTest, GeneratedBodyIsOnePatternWhateverTheOffsetsAndTheEncoding) {
  const std::string whole = generatedBody(0, 200000);
  EXPECT_EQ(generatedBody(131042, 5), whole.substr(131042, 5));
  EXPECT_NE(whole.substr(0, 4096), whole.substr(4096, 4096));
  ScriptedServer server(plainHttpOptions());
  server.expect({"GET", "/chunked"}).respondWithGeneratedBody(200000, 200, {}, true);
  auto chunked = httplib::Client("127.0.0.1", server.port()).Get("/chunked");
  ASSERT_TRUE(chunked);
  EXPECT_TRUE(chunked->body == whole);
  EXPECT_EQ(chunked->get_header_value("Transfer-Encoding"), "chunked");
}

}  // namespace
}  // namespace quarn::testing
