#include "api/request_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn::api {
namespace {

// Every request accepts JSON, waits 60 s, uses the protocol's cache policy and
// no constrained network; a PUT also gets the form type, after the caller's
// fields (a field named twice carries both values, names compare without case).
TEST(RequestBuilderTest, BuildsRequests) {
  struct Case {
    HTTPMethod method;
    const char* methodText;
    Headers headers;
    const char* fields;
    std::optional<std::string> body = std::nullopt;
  };
  const Case cases[] = {
      {HTTPMethod::get, "GET", {}, "Accept: application/json\n"},
      {HTTPMethod::put,
       "PUT",
       {{"content-type", "text/plain"}, {"ACCEPT", "*/*"}},
       "Accept: application/json, */*\ncontent-type: text/plain, "
       "application/x-www-form-urlencoded\n",
       ""},
      {HTTPMethod::delete_, "DELETE", {{"X", "1"}}, "Accept: application/json\nX: 1\n", "\"x\""},
  };
  for (const auto& c : cases) {
    const platform::HttpRequest request =
        RequestBuilder("https://h.example/v1/").buildRequest("p", {}, c.body, c.headers, c.method);
    std::string fields;
    for (const auto& [name, value] : request.headers.fields()) fields += name + ": " + value + "\n";
    EXPECT_EQ(fields, c.fields);
    EXPECT_EQ(request.method, c.methodText);
    EXPECT_EQ(request.body, c.body);
    EXPECT_EQ(request.timeoutInterval, 60.0);
  }
}

}  // namespace
}  // namespace quarn::api
