#include "api/request_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quarn::api {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kBase = "https://updates.example.test/v1/";

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
    std::string path;
    QueryItems query;
    std::optional<std::string> body;
    Headers headers;
    HTTPMethod method;
    std::string url;
    Fields fields;
  };
  const std::string base = kBase;
  const Case cases[] = {
      {"pending actions",
       "assets/A-1/actions",
       {},
       std::nullopt,
       {},
       HTTPMethod::get,
       base + "assets/A-1/actions",
       Fields{{"Accept", "application/json"}}},
      {"failure report",
       "assets/A-1/action-result",
       {{"result", "FAILED"}, {"action_id", "act 7"}},
       R"("update failed because x")",
       {{"Content-Type", "application/json"}},
       HTTPMethod::post,
       base + "assets/A-1/action-result?action_id=act+7&result=FAILED",
       Fields{{"Accept", "application/json"}, {"Content-Type", "application/json"}}},
      {"put gets the form type",
       "p",
       {},
       std::nullopt,
       {},
       HTTPMethod::put,
       base + "p",
       Fields{{"Accept", "application/json"},
              {"Content-Type", "application/x-www-form-urlencoded"}}},
      {"put appends the form type to the caller's",
       "p",
       {},
       std::nullopt,
       {{"content-type", "text/plain"}},
       HTTPMethod::put,
       base + "p",
       Fields{{"Accept", "application/json"},
              {"content-type", "text/plain, application/x-www-form-urlencoded"}}},
      {"delete never gets the form type",
       "p",
       {},
       std::nullopt,
       {},
       HTTPMethod::delete_,
       base + "p",
       Fields{{"Accept", "application/json"}}},
      {"a caller's Accept joins the default one, default first",
       "p",
       {},
       std::nullopt,
       {{"Accept", "text/plain"}, {"X-Trace", "1"}},
       HTTPMethod::get,
       base + "p",
       Fields{{"Accept", "application/json, text/plain"}, {"X-Trace", "1"}}},
      {"field names compare without case",
       "p",
       {},
       std::nullopt,
       {{"ACCEPT", "*/*"}},
       HTTPMethod::get,
       base + "p",
       Fields{{"Accept", "application/json, */*"}}},
      {"an empty body is a body",
       "p",
       {},
       "",
       {},
       HTTPMethod::post,
       base + "p",
       Fields{{"Accept", "application/json"}}},
      {"? and # stay in the path",
       "assets/a?b#c/actions",
       {},
       std::nullopt,
       {},
       HTTPMethod::get,
       base + "assets/a%3fb%23c/actions",
       Fields{{"Accept", "application/json"}}},
      {"an empty asset id",
       "assets//actions",
       {},
       std::nullopt,
       {},
       HTTPMethod::get,
       base + "assets//actions",
       Fields{{"Accept", "application/json"}}},
      {"query names and values are encoded",
       "p",
       {{"a&b", "c=d#"}},
       std::nullopt,
       {},
       HTTPMethod::get,
       base + "p?a%26b=c%3dd%23",
       Fields{{"Accept", "application/json"}}},
  };
  const RequestBuilder builder(kBase);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::HttpRequest request =
        builder.buildRequest(c.path, c.query, c.body, c.headers, c.method);
    EXPECT_EQ(request.url, c.url);
    EXPECT_EQ(request.method, rawValue(c.method));
    EXPECT_EQ(request.headers.fields(), c.fields);
    EXPECT_EQ(request.body, c.body);
    EXPECT_EQ(request.timeoutInterval, 60.0);
    EXPECT_EQ(request.cachePolicy, platform::CachePolicy::kUseProtocolCachePolicy);
    EXPECT_FALSE(request.allowsConstrainedNetworkAccess);
  }
}

TEST(RequestBuilderTest, KeepsTheBaseUrlsOwnQueryItemsFirst) {
  const RequestBuilder builder("https://h.example/v1/?tenant=t1");
  EXPECT_EQ(builder.buildRequest("x", {{"a", "b"}}, std::nullopt, {}, HTTPMethod::get).url,
            "https://h.example/v1/x?tenant=t1&a=b");
}

TEST(RequestBuilderTest, UrlThatDoesNotSplitGoesOutWithoutTheQuery) {
  const RequestBuilder builder("not a url/");
  EXPECT_EQ(builder.buildRequest("a?b", {{"a", "b"}}, std::nullopt, {}, HTTPMethod::get).url,
            "not a url/a%3fb");
}

}  // namespace
}  // namespace quarn::api
