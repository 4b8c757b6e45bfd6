// URL helpers on the platform's URL library.
//
// The few URL operations the service client needs: checking that a text is an
// absolute URL, appending a path component, and putting query items on a URL.
// Percent-encoding follows the URL library, so every path segment, query name
// and query value reaches a server unchanged once it is decoded. Paths are kept
// as written: "." and ".." segments are never resolved.
//
// Pure functions, safe to call from any thread. Texts may hold any bytes,
// NUL included; nothing here throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn::platform {

// Query items in the order they are to appear: name, value.
using UrlQueryItems = std::vector<std::pair<std::string, std::string>>;

// Whether the URL library accepts `text` as an absolute URL: a scheme and what
// the scheme requires after it, no white space or control characters. Any
// scheme is accepted; nothing else (host, port range aside) is checked.
bool isValidAbsoluteUrl(std::string_view text);

// `baseUrl` with `component` appended to its path: one "/" between the base
// path and `component` (none is added when the base path already ends in "/"),
// a "/" in `component` stays a separator, and every other character that is
// not unreserved is percent-encoded, so "?", "#" and "%" in `component` stay in
// the path. The base URL's query and fragment are kept. When `baseUrl` does not
// parse, the encoded component is appended to its text all the same.
std::string appendingPathComponent(std::string_view baseUrl, std::string_view component);

// `url` with its query replaced by the query it already carries followed by
// `items`, each name and value percent-encoded for the query. An empty result
// still replaces the query: the URL comes back with an empty query (the URL
// library writes no "?" for it). Absent when `url` does not parse.
std::optional<std::string> appendingQueryItems(std::string_view url, const UrlQueryItems& items);

}  // namespace quarn::platform
