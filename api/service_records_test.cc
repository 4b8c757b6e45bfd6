#include "api/service_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace quarn::api {
namespace {

using namespace std::string_literals;

TEST(ForwarderActionsResponseTest, Decodes) {
  const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
  const std::pair<std::string, ForwarderActionsResponse> decodes[] = {
      {" \n{\"actions\" : [ ] }\n\t", ForwarderActionsResponse{}},
      {R"({"actions":[],"x":)" + deep + "}", ForwarderActionsResponse{}},
      // A null, a full and a missing update, in order; unknown keys at every level.
      {R"({"next":null,"actions":[{"id":"a1","update":null},{"id":"a2","kind":7,"update":
          {"download_url":"https://h/a%20b?c=d#e","binary_sha256":" ABC ","size":1}},{"id":""}],
          "meta":{"actions":1}})",
       ForwarderActionsResponse{
           {ForwarderAction{"a1", std::nullopt},
            ForwarderAction{"a2", ForwarderUpdateAction{"https://h/a%20b?c=d#e", " ABC "}},
            ForwarderAction{"", std::nullopt}}}},
  };
  for (const auto& [json, expected] : decodes) {
    EXPECT_EQ(ForwarderActionsResponse::decode(json), expected) << json.substr(0, 80);
  }
  // Anything else fails the whole answer, also when only its second action is
  // at fault.
  const auto second = [](const std::string& update) {
    return R"({"actions":[{"id":"a"},{"id":"b","update":)" + update + "}]}";
  };
  for (const std::string& json :
       {R"({"Actions":[]})"s, R"({"actions":null})"s, R"({"actions":[{"id":"a"},1]})"s,
        R"({"actions":[{"id":1}]})"s, R"({"actions":[{"update":null}]})"s, second("false"),
        second(R"({"download_url":"https://h/p","binary_sha256":null})"),
        second(R"({"downloadUrl":"https://h/p","binary_sha256":"s"})"),
        second(R"({"download_url":1,"binary_sha256":"s"})"),
        second(R"({"download_url":"/p.pkg","binary_sha256":"s"})"),
        second(R"({"download_url":"https://h/\u0000x","binary_sha256":"s"})"), ""s,
        R"({"actions":[]} {})"s, R"({"actions":[)"s, R"(/* c */ {"actions":[]})"s,
        "{\"actions\":[{\"id\":\"\xFF\"}]}"s, deep}) {
    EXPECT_EQ(ForwarderActionsResponse::decode(json), std::nullopt) << json.substr(0, 80);
  }
}

TEST(ActionResultResponseTest, Decodes) {
  using Fields = std::tuple<std::optional<std::string>, std::optional<std::int64_t>,
                            std::optional<std::string>>;
  const std::pair<std::string, Fields> decodes[] = {
      {"{}", Fields{}},
      {R"({"error":"e","code":404,"message":"m","status":"ok"})", Fields{"e", 404, "m"}},
      {R"({"error":null,"code":null,"message":null})", Fields{}},
      {R"({"code":-9223372036854775808})", Fields{std::nullopt, INT64_MIN, std::nullopt}},
      {R"({"code":9223372036854775807})", Fields{std::nullopt, INT64_MAX, std::nullopt}},
  };
  for (const auto& [json, expected] : decodes) {
    const auto d = ActionResultResponse::decode(json);
    ASSERT_TRUE(d.has_value()) << json;
    EXPECT_EQ(Fields(d->error, d->code, d->message), expected) << json;
  }
  for (const char* json :
       {R"({"code":"404"})", R"({"code":404.0})", R"({"code":4e2})", R"({"code":true})",
        R"({"code":9223372036854775808})", R"({"code":-9223372036854775809})", R"({"error":1})",
        R"({"message":{}})", "[]", "null"}) {
    EXPECT_FALSE(ActionResultResponse::decode(json).has_value()) << json;
  }
}

TEST(ActionResultBodyTest, IsOneJsonString) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("update failed because ")"},
      {R"(say "no" C:\tmp)", R"("update failed because say \"no\" C:\\tmp")"},
      {"a\nb\tc\x01\x1f\0"s, R"("update failed because a\nb\tc\u0001\u001f\u0000")"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80 / \x7F",
       "\"update failed because caf\xC3\xA9 \xF0\x9F\x98\x80 / \x7F\""},
      // Bytes that are not UTF-8 are replaced, never passed on or thrown over.
      {"bad \xFF\xC3 end", "\"update failed because bad \xEF\xBF\xBD\xEF\xBF\xBD end\""},
  };
  for (const auto& [reason, body] : cases) EXPECT_EQ(actionResultBody(reason), body);
}

}  // namespace
}  // namespace quarn::api
