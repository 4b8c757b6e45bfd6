#include "platform/url.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace quarn::platform {
namespace {

using namespace std::string_literals;

TEST(UrlTest, ValidAbsoluteUrls) {
  for (const char* text :
       {"https://updates.kelvane.com/v1/", "http://[::1]:8443/p?q=a%2Fb#f", "x-custom://host/p"}) {
    EXPECT_TRUE(isValidAbsoluteUrl(text)) << text;
  }
  for (const std::string& text : {""s, "relative/path"s, "//host/p"s, "https://"s, "https://a b/"s,
                                  "https://h/a\nb"s, "https://h:99999/"s, "https://h/a\0b"s}) {
    EXPECT_FALSE(isValidAbsoluteUrl(text)) << text;
  }
}

// "?", "#" and "%" stay in the path; any other byte that is not unreserved is
// encoded, "/" stays a separator.
TEST(UrlTest, AppendingPathComponent) {
  const std::string cases[][3] = {
      {"https://h.example/v1/", "assets//actions", "https://h.example/v1/assets//actions"},
      {"https://h.example/v1", "assets", "https://h.example/v1/assets"},
      {"https://h.example/v1/", "", "https://h.example/v1/"},
      {"https://h.example/v1/", "a?b#c", "https://h.example/v1/a%3fb%23c"},
      {"https://h.example/v1/", "a b%20\xC3\xA9\x01;\x7F\0z"s,
       "https://h.example/v1/a%20b%2520%c3%a9%01%3b%7f%00z"},
      {"https://h.example/a%20b/?k=v#f", "x", "https://h.example/a%20b/x?k=v#f"},
      {"not a url", "a?b", "not a url/a%3fb"},
  };
  for (const auto& [base, component, expected] : cases) {
    EXPECT_EQ(appendingPathComponent(base, component), expected) << base << " + " << component;
  }
}

TEST(UrlTest, AppendingQueryItems) {
  const std::tuple<std::string, UrlQueryItems, std::optional<std::string>> cases[] = {
      // An empty list leaves an empty query, which the library writes as nothing.
      {"https://h.example/x?", {}, "https://h.example/x"},
      {"https://h.example/x", {{"id", "a1"}, {"r", "F"}}, "https://h.example/x?id=a1&r=F"},
      {"https://h.example/x?k=v", {{"a", "b"}}, "https://h.example/x?k=v&a=b"},
      {"https://h.example/x#frag", {{"a", ""}}, "https://h.example/x?a=#frag"},
      {"https://h.example/x",
       {{"a b=", "c&d=e+f#;\0"s}},
       "https://h.example/x?a+b%3d=c%26d%3de%2bf%23%3b%00"},
      {"no scheme", {{"a", "b"}}, std::nullopt},
  };
  for (const auto& [url, items, expected] : cases) {
    EXPECT_EQ(appendingQueryItems(url, items), expected) << url;
  }
}

}  // namespace
}  // namespace quarn::platform
