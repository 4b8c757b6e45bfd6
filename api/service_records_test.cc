#include "api/service_records.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn::api {
namespace {

using namespace std::string_literals;

// The actions in order, unknown keys at every level ignored, a null or missing
// update none; any action at fault fails the whole answer, also the second.
TEST(ForwarderActionsResponseTest, Decodes) {
  EXPECT_EQ(ForwarderActionsResponse::decode(
                R"({"next":null,"actions":[{"id":"a1","update":null},{"id":"a2","kind":7,"update":
          {"download_url":"https://h/a%20b?c=d#e","binary_sha256":" ABC ","size":1}},{"id":""}],
          "meta":{"actions":1}})"),
            (ForwarderActionsResponse{
                {ForwarderAction{"a1", std::nullopt},
                 ForwarderAction{"a2", ForwarderUpdateAction{"https://h/a%20b?c=d#e", " ABC "}},
                 ForwarderAction{"", std::nullopt}}}));
  const auto second = [](const std::string& update) {
    return R"({"actions":[{"id":"a"},{"id":"b","update":)" + update + "}]}";
  };
  for (const std::string& json :
       {R"({"Actions":[]})"s, R"({"actions":{}})"s, R"({"actions":[{"id":"a"},1]})"s,
        R"({"actions":[{"id":1}]})"s, R"({"actions":[{"update":null}]})"s, second("false"),
        second(R"({"download_url":"https://h/p","binary_sha256":null})"),
        second(R"({"downloadUrl":"https://h/p","binary_sha256":"s"})"),
        second(R"({"download_url":"/p.pkg","binary_sha256":"s"})")}) {
    EXPECT_EQ(ForwarderActionsResponse::decode(json), std::nullopt) << json;
  }
}

// The agent reads nothing from an action result, but an answer that does not
// decode fails the report: known keys may be missing or null, else of their
// type, the code within 64 bits.
TEST(ActionResultResponseTest, Decodes) {
  for (const char* json : {R"({"error":"e","code":404,"message":"m","status":"ok"})",
                           R"({"error":null,"code":null,"message":null})",
                           R"({"code":-9223372036854775808})", R"({"code":9223372036854775807})"}) {
    EXPECT_TRUE(ActionResultResponse::decode(json).has_value()) << json;
  }
  for (const char* json :
       {R"({"code":"404"})", R"({"code":404.0})", R"({"code":9223372036854775808})",
        R"({"error":1})", R"({"message":{}})", "[]"}) {
    EXPECT_FALSE(ActionResultResponse::decode(json).has_value()) << json;
  }
}

// Non-ASCII text stays UTF-8; bytes that are not UTF-8 are replaced, never
// passed on or thrown over.
TEST(ActionResultBodyTest, IsOneJsonString) {
  EXPECT_EQ(actionResultBody("caf\xC3\xA9 \xFF\xC3 end"),
            "\"update failed because caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD end\"");
}

}  // namespace
}  // namespace quarn::api
