#include "api/service_records.h"

#include <gtest/gtest.h>

#include <string>

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

// The agent reads nothing from an action result, but an answer that does not
// decode fails the report: known keys may be missing or null, else of their
// type, the code within 64 bits.
TEST(ActionResultResponseTest, Decodes) {
  for (const char* json : {"{}", R"({"error":"e","code":404,"message":"m","status":"ok"})",
                           R"({"error":null,"code":null,"message":null})",
                           R"({"code":-9223372036854775808})", R"({"code":9223372036854775807})"}) {
    EXPECT_TRUE(ActionResultResponse::decode(json).has_value()) << json;
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
