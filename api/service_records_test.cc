#include "api/service_records.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

namespace quarn::api {
namespace {

using namespace std::string_literals;

ForwarderAction action(std::string id) { return ForwarderAction{std::move(id), std::nullopt}; }
ForwarderAction updateAction(std::string id, std::string url, std::string sha) {
  return ForwarderAction{std::move(id), ForwarderUpdateAction{std::move(url), std::move(sha)}};
}

TEST(ForwarderActionsResponseTest, Decodes) {
  struct Case {
    const char* name;
    std::string json;
    std::optional<ForwarderActionsResponse> expected;
  };
  const std::string kSha = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  const Case cases[] = {
      {"empty list", R"({"actions":[]})", ForwarderActionsResponse{}},
      {"white space around", " \n{\"actions\" : [ ] }\n\t", ForwarderActionsResponse{}},
      {"null update then a full one, order kept",
       R"({"actions":[{"id":"a1","update":null},
                      {"id":"a2","update":{"download_url":"https://cdn.example/p.pkg",
                                           "binary_sha256":")" +
           kSha + R"("}},
                      {"id":"a3"}]})",
       ForwarderActionsResponse{
           {action("a1"), updateAction("a2", "https://cdn.example/p.pkg", kSha), action("a3")}}},
      {"only an id", R"({"actions":[{"id":""}]})", ForwarderActionsResponse{{action("")}}},
      {"unknown keys at every level",
       R"({"next":null,"actions":[{"id":"a","kind":7,"update":{"download_url":"https://h/p",
          "binary_sha256":"S","size":1,"downloadUrl":5}}],"meta":{"actions":1}})",
       ForwarderActionsResponse{{updateAction("a", "https://h/p", "S")}}},
      {"text kept as written", R"({"actions":[{"id":"caf\u00e9 \"x\"","update":{
          "download_url":"https://h/a%20b?c=d#e","binary_sha256":" ABC "}}]})",
       ForwarderActionsResponse{
           {updateAction("caf\xC3\xA9 \"x\"", "https://h/a%20b?c=d#e", " ABC ")}}},
      {"any scheme is a URL here", R"({"actions":[{"id":"a","update":{
          "download_url":"ftp://h/p","binary_sha256":"s"}}]})",
       ForwarderActionsResponse{{updateAction("a", "ftp://h/p", "s")}}},

      {"keys are case-sensitive", R"({"Actions":[]})", std::nullopt},
      {"no camel-case conversion",
       R"({"actions":[{"id":"a","update":{"downloadUrl":"https://h/p","binary_sha256":"s"}}]})",
       std::nullopt},
      {"actions missing", R"({})", std::nullopt},
      {"actions null", R"({"actions":null})", std::nullopt},
      {"actions an object", R"({"actions":{}})", std::nullopt},
      {"actions a text", R"({"actions":"[]"})", std::nullopt},
      {"null element", R"({"actions":[null]})", std::nullopt},
      {"number element", R"({"actions":[{"id":"a"},1]})", std::nullopt},
      {"array element", R"({"actions":[[]]})", std::nullopt},
      {"numeric id", R"({"actions":[{"id":1}]})", std::nullopt},
      {"boolean id", R"({"actions":[{"id":true}]})", std::nullopt},
      {"null id", R"({"actions":[{"id":null}]})", std::nullopt},
      {"missing id", R"({"actions":[{"update":null}]})", std::nullopt},
      {"update without binary_sha256 fails the whole answer",
       R"({"actions":[{"id":"a"},{"id":"b","update":{"download_url":"https://h/p"}}]})",
       std::nullopt},
      {"null binary_sha256",
       R"({"actions":[{"id":"b","update":{"download_url":"https://h/p","binary_sha256":null}}]})",
       std::nullopt},
      {"numeric binary_sha256",
       R"({"actions":[{"id":"b","update":{"download_url":"https://h/p","binary_sha256":12}}]})",
       std::nullopt},
      {"missing download_url", R"({"actions":[{"id":"b","update":{"binary_sha256":"s"}}]})",
       std::nullopt},
      {"numeric download_url",
       R"({"actions":[{"id":"b","update":{"download_url":1,"binary_sha256":"s"}}]})", std::nullopt},
      {"download_url not a URL",
       R"({"actions":[{"id":"b","update":{"download_url":"not a url","binary_sha256":"s"}}]})",
       std::nullopt},
      {"download_url relative",
       R"({"actions":[{"id":"b","update":{"download_url":"/p.pkg","binary_sha256":"s"}}]})",
       std::nullopt},
      {"empty download_url",
       R"({"actions":[{"id":"b","update":{"download_url":"","binary_sha256":"s"}}]})",
       std::nullopt},
      {"download_url with a NUL",
       R"({"actions":[{"id":"b","update":{"download_url":"https://h/\u0000x","binary_sha256":"s"}}]})",
       std::nullopt},
      {"update a text", R"({"actions":[{"id":"b","update":"https://h/p"}]})", std::nullopt},
      {"update an array", R"({"actions":[{"id":"b","update":[]}]})", std::nullopt},
      {"update false", R"({"actions":[{"id":"b","update":false}]})", std::nullopt},

      {"empty body", "", std::nullopt},
      {"array", "[]", std::nullopt},
      {"null", "null", std::nullopt},
      {"a JSON text", R"("actions")", std::nullopt},
      {"plain text", "Bad Gateway", std::nullopt},
      {"trailing data", R"({"actions":[]} {})", std::nullopt},
      {"truncated", R"({"actions":[)", std::nullopt},
      {"comment", R"(/* c */ {"actions":[]})", std::nullopt},
      {"invalid UTF-8 in a text", "{\"actions\":[{\"id\":\"\xFF\"}]}", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ForwarderActionsResponse::decode(c.json), c.expected) << c.name;
  }
}

TEST(ForwarderActionsResponseTest, NestedRecordsDecodeOnTheirOwn) {
  EXPECT_EQ(ForwarderAction::decode(R"({"id":"a","update":null})"), action("a"));
  EXPECT_EQ(ForwarderUpdateAction::decode(R"({"download_url":"https://h/p","binary_sha256":"s"})"),
            (ForwarderUpdateAction{"https://h/p", "s"}));
  EXPECT_EQ(ForwarderUpdateAction::decode(R"({"download_url":"https://h/p"})"), std::nullopt);
  EXPECT_EQ(ForwarderAction::decode("[]"), std::nullopt);
}

TEST(ForwarderActionsResponseTest, DeeplyNestedInputIsRefusedWithoutCrashing) {
  const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
  EXPECT_EQ(ForwarderActionsResponse::decode(deep), std::nullopt);
  const std::string deepInside =
      R"({"actions":[],"x":)" + std::string(200'000, '[') + std::string(200'000, ']') + "}";
  EXPECT_EQ(ForwarderActionsResponse::decode(deepInside), ForwarderActionsResponse{});
}

TEST(ActionResultResponseTest, Decodes) {
  struct Case {
    const char* name;
    std::string json;
    bool decodes;
    std::optional<std::string> error = std::nullopt;
    std::optional<std::int64_t> code = std::nullopt;
    std::optional<std::string> message = std::nullopt;
  };
  const Case cases[] = {
      {"empty object", "{}", true},
      {"all fields", R"({"error":"e","code":404,"message":"m"})", true, "e", 404, "m"},
      {"nulls are absent", R"({"error":null,"code":null,"message":null})", true},
      {"unknown keys", R"({"status":"ok","Code":"x"})", true},
      {"negative code", R"({"code":-1})", true, std::nullopt, -1},
      {"smallest code", R"({"code":-9223372036854775808})", true, std::nullopt,
       std::numeric_limits<std::int64_t>::min()},
      {"largest code", R"({"code":9223372036854775807})", true, std::nullopt,
       std::numeric_limits<std::int64_t>::max()},

      {"code a text", R"({"code":"404"})", false},
      {"code a fraction", R"({"code":404.5})", false},
      {"code written with a fraction", R"({"code":404.0})", false},
      {"code with an exponent", R"({"code":4e2})", false},
      {"code a boolean", R"({"code":true})", false},
      {"code above 64 bits", R"({"code":9223372036854775808})", false},
      {"code below 64 bits", R"({"code":-9223372036854775809})", false},
      {"code far above", R"({"code":18446744073709551616})", false},
      {"error a number", R"({"error":1})", false},
      {"message a boolean", R"({"message":false})", false},
      {"message an object", R"({"message":{}})", false},
      {"array", "[]", false},
      {"empty body", "", false},
      {"null", "null", false},
      {"number", "0", false},
  };
  for (const auto& c : cases) {
    const auto decoded = ActionResultResponse::decode(c.json);
    ASSERT_EQ(decoded.has_value(), c.decodes) << c.name;
    if (!decoded) continue;
    EXPECT_EQ(decoded->error, c.error) << c.name;
    EXPECT_EQ(decoded->code, c.code) << c.name;
    EXPECT_EQ(decoded->message, c.message) << c.name;
  }
}

TEST(ActionResultBodyTest, IsOneJsonString) {
  struct Case {
    std::string reason;
    std::string body;
  };
  const Case cases[] = {
      {"", R"("update failed because ")"},
      {"checksum mismatch", R"("update failed because checksum mismatch")"},
      {R"(say "no")", R"("update failed because say \"no\"")"},
      {R"(C:\tmp)", R"("update failed because C:\\tmp")"},
      {"a\nb\tc\x01\x1f", R"("update failed because a\nb\tc\u0001\u001f")"},
      {"\0"s, R"("update failed because \u0000")"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 / \x7F",
       "\"update failed because caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 / \x7F\""},
      // Bytes that are not UTF-8 are replaced, never passed on or thrown over.
      {"bad \xFF\xC3 end", "\"update failed because bad \xEF\xBF\xBD\xEF\xBF\xBD end\""},
  };
  for (const auto& c : cases) {
    const std::string body = actionResultBody(c.reason);
    EXPECT_EQ(body, c.body);
    EXPECT_TRUE(nlohmann::json::parse(body, nullptr, false).is_string()) << body;
  }
}

}  // namespace
}  // namespace quarn::api
