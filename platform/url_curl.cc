// The URL helpers on libcurl's URL API (CURLU).
#include "platform/url.h"

#include <curl/curl.h>

#include <memory>

namespace quarn::platform {
namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

// Takes ownership of a string the URL library allocated.
std::string adopt(char* text) {
  std::string result(text);
  curl_free(text);
  return result;
}

std::optional<std::string> getPart(CURLU* handle, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(handle, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  return adopt(text);
}

// Parses an absolute URL of any scheme. The library reads C strings, so a
// text with a NUL in it is refused rather than silently cut short. The path is
// kept as written: "." and ".." segments are data here (an identifier may be
// one), never steps up the path.
UrlHandle parse(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return nullptr;
  UrlHandle handle(curl_url());
  if (!handle) return nullptr;
  const std::string copy(text);
  if (curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
    return nullptr;
  }
  return handle;
}

// Percent-encodes `text` the way the URL library encodes `part` (the path
// keeps "/"; the query encodes everything but unreserved characters, a space
// as "+"). A NUL, which the library cannot take, is written as "%00".
std::string encode(std::string_view text, CURLUPart part) {
  std::string encoded;
  UrlHandle scratch(curl_url());
  while (!text.empty()) {
    const std::size_t nul = text.find('\0');
    const std::string_view piece = text.substr(0, nul);
    if (!piece.empty() && scratch) {
      // The path is given a leading "/" so the library never has to supply
      // one; it is dropped again below.
      const bool isPath = part == CURLUPART_PATH;
      const std::string input = (isPath ? "/" : "") + std::string(piece);
      if (curl_url_set(scratch.get(), part, input.c_str(), CURLU_URLENCODE | CURLU_PATH_AS_IS) ==
          CURLUE_OK) {
        if (auto out = getPart(scratch.get(), part)) {
          encoded += isPath ? out->substr(1) : *out;
        }
      }
    }
    if (nul == std::string_view::npos) break;
    encoded += "%00";
    text.remove_prefix(nul + 1);
  }
  return encoded;
}

}  // namespace

bool isValidAbsoluteUrl(std::string_view text) { return parse(text) != nullptr; }

std::string appendingPathComponent(std::string_view baseUrl, std::string_view component) {
  const std::string encoded = encode(component, CURLUPART_PATH);
  const auto joined = [&](std::string_view base) {
    std::string result(base);
    if (result.empty() || result.back() != '/') result += '/';
    return result + encoded;
  };
  UrlHandle handle = parse(baseUrl);
  if (!handle) return joined(baseUrl);
  const std::string path = joined(getPart(handle.get(), CURLUPART_PATH).value_or("/"));
  if (curl_url_set(handle.get(), CURLUPART_PATH, path.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK) {
    return joined(baseUrl);
  }
  return getPart(handle.get(), CURLUPART_URL).value_or(joined(baseUrl));
}

std::optional<std::string> appendingQueryItems(std::string_view url, const UrlQueryItems& items) {
  UrlHandle handle = parse(url);
  if (!handle) return std::nullopt;
  std::string query = getPart(handle.get(), CURLUPART_QUERY).value_or("");
  for (const auto& [name, value] : items) {
    if (!query.empty()) query += '&';
    query += encode(name, CURLUPART_QUERY);
    query += '=';
    query += encode(value, CURLUPART_QUERY);
  }
  if (curl_url_set(handle.get(), CURLUPART_QUERY, query.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  return getPart(handle.get(), CURLUPART_URL);
}

}  // namespace quarn::platform
