#include "platform/url.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn::platform {
namespace {

using namespace std::string_literals;

TEST(UrlTest, ValidAbsoluteUrls) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"https://updates.kelvane.com/v1/", true},
      {"https://cdn.example.com/pkg/Forwarder-2.1.pkg?sig=a%2Fb#part", true},
      {"http://[::1]:8443/p", true},
      {"ftp://files.example.com/x", true},
      {"x-custom://host/p", true},  // any scheme
      {"", false},
      {"relative/path", false},
      {"//host/p", false},  // no scheme
      {"https://", false},
      {"https://a b/", false},
      {"https://h/a b", false},  // white space
      {"https://h/a\nb", false},
      {"https://h:99999/", false},  // port out of range
      {"https://h/a\0b"s, false},   // a NUL is never cut short silently
      {"https:h", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidAbsoluteUrl(c.text), c.valid) << c.text;
}

TEST(UrlTest, AppendingPathComponent) {
  struct Case {
    std::string base;
    std::string component;
    std::string expected;
  };
  const Case cases[] = {
      {"https://h.example/v1/", "assets/abc/actions", "https://h.example/v1/assets/abc/actions"},
      {"https://h.example/v1/", "assets//actions", "https://h.example/v1/assets//actions"},
      {"https://h.example/v1", "assets", "https://h.example/v1/assets"},
      {"https://h.example", "assets", "https://h.example/assets"},
      {"https://h.example/v1/", "", "https://h.example/v1/"},
      // "?" and "#" stay in the path; "%" is data, not an escape.
      {"https://h.example/v1/", "a?b#c", "https://h.example/v1/a%3fb%23c"},
      {"https://h.example/v1/", "a b%20", "https://h.example/v1/a%20b%2520"},
      {"https://h.example/v1/", "caf\xC3\xA9", "https://h.example/v1/caf%c3%a9"},
      {"https://h.example/v1/", "a\0b"s, "https://h.example/v1/a%00b"},
      {"https://h.example/v1/?k=v#f", "x", "https://h.example/v1/x?k=v#f"},
      {"https://h.example/a%20b/", "c", "https://h.example/a%20b/c"},  // base kept as written
      {"not a url", "a?b", "not a url/a%3fb"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(appendingPathComponent(c.base, c.component), c.expected)
        << c.base << " + " << c.component;
  }
}

TEST(UrlTest, AppendingQueryItems) {
  struct Case {
    std::string url;
    UrlQueryItems items;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      // An empty list leaves an empty query, which the library writes as nothing.
      {"https://h.example/v1/x", {}, "https://h.example/v1/x"},
      {"https://h.example/v1/x?", {}, "https://h.example/v1/x"},
      {"https://h.example/v1/x",
       {{"action_id", "a1"}, {"result", "FAILED"}},
       "https://h.example/v1/x?action_id=a1&result=FAILED"},
      // Items already on the URL come first.
      {"https://h.example/v1/x?k=v", {{"a", "b"}}, "https://h.example/v1/x?k=v&a=b"},
      {"https://h.example/v1/x?k=v", {}, "https://h.example/v1/x?k=v"},
      {"https://h.example/v1/x#frag", {{"a", ""}}, "https://h.example/v1/x?a=#frag"},
      {"https://h.example/v1/x",
       {{"a b=", "c&d=e+f#"}},
       "https://h.example/v1/x?a+b%3d=c%26d%3de%2bf%23"},
      {"https://h.example/v1/x", {{"n", "\0"s}}, "https://h.example/v1/x?n=%00"},
      {"no scheme", {{"a", "b"}}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(appendingQueryItems(c.url, c.items), c.expected) << c.url;
}

// Decodes a query or path piece as a server does (form style: "+" is a space).
std::string decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST(UrlTest, EveryNameValueAndSegmentSurvivesEncoding) {
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  const std::string samples[] = {allBytes, "plain", "a&b=c;d", "100% ~sure~", "x/y"};
  for (const auto& sample : samples) {
    const auto url = appendingQueryItems("https://h.example/", {{sample, sample}});
    ASSERT_TRUE(url.has_value());
    const std::string query = url->substr(url->find('?') + 1);
    const std::size_t equals = query.find('=');
    ASSERT_NE(equals, std::string::npos);
    EXPECT_EQ(query.find_first_of("&#?= /", equals + 1), std::string::npos) << query;
    EXPECT_EQ(decode(query.substr(0, equals)), sample);
    EXPECT_EQ(decode(query.substr(equals + 1)), sample);

    const std::string pathUrl = appendingPathComponent("https://h.example/v1/", sample);
    const std::string segment = pathUrl.substr(std::string("https://h.example/v1/").size());
    EXPECT_EQ(segment.find_first_of("?# +"), std::string::npos) << segment;
    EXPECT_EQ(decode(segment), sample);
  }
}

}  // namespace
}  // namespace quarn::platform
