#include "api/request_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quarn::api {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

const std::string kBase = "https://updates.example.test/v1/";

TEST(HTTPMethodTest, RawValues) {
  const std::pair<HTTPMethod, const char*> methods[] = {
      {HTTPMethod::get, "GET"},
      {HTTPMethod::post, "POST"},
      {HTTPMethod::put, "PUT"},
      {HTTPMethod::delete_, "DELETE"},
  };
  for (const auto& [method, raw] : methods) {
    EXPECT_EQ(rawValue(method), raw);
    EXPECT_EQ(httpMethodFromRawValue(raw), method);
  }
  for (const char* text : {"get", "Post", "PATCH", "", " GET", "GET "}) {
    EXPECT_EQ(httpMethodFromRawValue(text), std::nullopt) << text;
  }
}

TEST(RequestBuilderTest, BuildsRequests) {
  struct Case {
    const char* name;
    std::string path = "p";
    QueryItems query = {};
    std::optional<std::string> body = std::nullopt;
    Headers headers = {};
    HTTPMethod method = HTTPMethod::get;
    std::string url = "p";  // after the base
    Fields fields = {{"Accept", "application/json"}};
  };
  const Case cases[] = {
      {.name = "pending actions", .path = "assets/A-1/actions", .url = "assets/A-1/actions"},
      {.name = "failure report",
       .path = "assets/A-1/action-result",
       .query = {{"result", "FAILED"}, {"action_id", "act 7"}},
       .body = R"("update failed because x")",
       .headers = {{"Content-Type", "application/json"}},
       .method = HTTPMethod::post,
       .url = "assets/A-1/action-result?action_id=act+7&result=FAILED",
       .fields = {{"Accept", "application/json"}, {"Content-Type", "application/json"}}},
      {.name = "put gets the form type",
       .method = HTTPMethod::put,
       .fields = {{"Accept", "application/json"},
                  {"Content-Type", "application/x-www-form-urlencoded"}}},
      {.name = "put appends the form type to the caller's",
       .headers = {{"content-type", "text/plain"}},
       .method = HTTPMethod::put,
       .fields = {{"Accept", "application/json"},
                  {"content-type", "text/plain, application/x-www-form-urlencoded"}}},
      {.name = "delete never gets the form type", .method = HTTPMethod::delete_},
      {.name = "a caller's Accept joins the default one, default first",
       .headers = {{"Accept", "text/plain"}, {"X-Trace", "1"}},
       .fields = {{"Accept", "application/json, text/plain"}, {"X-Trace", "1"}}},
      {.name = "field names compare without case",
       .headers = {{"ACCEPT", "*/*"}},
       .fields = {{"Accept", "application/json, */*"}}},
      {.name = "an empty body is a body", .body = "", .method = HTTPMethod::post},
      {.name = "? and # stay in the path",
       .path = "assets/a?b#c/actions",
       .url = "assets/a%3fb%23c/actions"},
      {.name = "an empty asset id", .path = "assets//actions", .url = "assets//actions"},
      {.name = "query names and values are encoded",
       .query = {{"a&b", "c=d#"}},
       .url = "p?a%26b=c%3dd%23"},
  };
  const RequestBuilder builder(kBase);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::HttpRequest request =
        builder.buildRequest(c.path, c.query, c.body, c.headers, c.method);
    EXPECT_EQ(request.url, kBase + c.url);
    EXPECT_EQ(request.method, rawValue(c.method));
    EXPECT_EQ(request.headers.fields(), c.fields);
    EXPECT_EQ(request.body, c.body);
    EXPECT_EQ(request.timeoutInterval, 60.0);
    EXPECT_EQ(request.cachePolicy, platform::CachePolicy::kUseProtocolCachePolicy);
    EXPECT_FALSE(request.allowsConstrainedNetworkAccess);
  }
}

// The base URL's own query items come first; a URL that does not split into
// components goes out without the query.
TEST(RequestBuilderTest, QueryOfTheBaseUrl) {
  EXPECT_EQ(RequestBuilder("https://h.example/v1/?tenant=t1")
                .buildRequest("x", {{"a", "b"}}, std::nullopt, {}, HTTPMethod::get)
                .url,
            "https://h.example/v1/x?tenant=t1&a=b");
  EXPECT_EQ(RequestBuilder("not a url/")
                .buildRequest("a?b", {{"a", "b"}}, std::nullopt, {}, HTTPMethod::get)
                .url,
            "not a url/a%3fb");
}

}  // namespace
}  // namespace quarn::api
