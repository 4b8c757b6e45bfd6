// How the libcurl session names a failure: curl's codes mapped to the
// URL-loading errors that the rest of quarn knows, the stage and place a log
// record gives, and the checks that refuse a request before it is sent.
#include "platform/curl_errors.h"

#include <algorithm>
#include <string_view>

namespace quarn::platform {
namespace {

bool isTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7f) return false;
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
  return kSeparators.find(c) == std::string_view::npos;
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// A header value may not smuggle in another line.
bool isSafeHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

Error urlError(std::int64_t code, std::string description) {
  return Error{std::string(kUrlErrorDomain), code, std::move(description)};
}

Error cancelledError() { return urlError(url_error::kCancelled, "The request was cancelled."); }

Error errorForCurlCode(CURLcode code, std::optional<std::int64_t> abortCode, const char* detail) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return urlError(url_error::kTimedOut, "The request timed out.");
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return urlError(url_error::kCannotFindHost, "The server's host name could not be resolved.");
    case CURLE_COULDNT_CONNECT:
      return urlError(url_error::kCannotConnectToHost, "Could not connect to the server.");
    case CURLE_PEER_FAILED_VERIFICATION:
      return urlError(url_error::kServerCertificateUntrusted,
                      "The server's certificate is not trusted for this host.");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return urlError(url_error::kSecureConnectionFailed,
                      "A secure connection to the server could not be established.");
    case CURLE_TOO_MANY_REDIRECTS:
      return urlError(url_error::kHttpTooManyRedirects,
                      "The request was redirected too many times.");
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return urlError(url_error::kNetworkConnectionLost, "The network connection was lost.");
    case CURLE_UNSUPPORTED_PROTOCOL:
      return urlError(url_error::kSecureConnectionRequired,
                      "Only secure (https) connections are allowed.");
    case CURLE_URL_MALFORMAT:
      return urlError(url_error::kBadUrl, "The URL is not valid.");
    case CURLE_FILESIZE_EXCEEDED:
      return urlError(url_error::kDataLengthExceedsMaximum,
                      "The response is larger than the maximum allowed size.");
    case CURLE_ABORTED_BY_CALLBACK:
      return cancelledError();
    case CURLE_WRITE_ERROR:
      if (abortCode == url_error::kCancelled) return cancelledError();
      if (abortCode == url_error::kBadServerResponse) return badServerResponseError();
      if (abortCode == url_error::kDataLengthExceedsMaximum) {
        return errorForCurlCode(CURLE_FILESIZE_EXCEEDED, std::nullopt, detail);
      }
      break;
    default:
      break;
  }
  const std::string text = detail != nullptr && *detail != '\0' ? detail : curl_easy_strerror(code);
  return urlError(url_error::kUnknown, "The request failed: " + text);
}

const char* failureStage(const Error& error) {
  switch (error.code) {
    case url_error::kCannotFindHost:
      return "resolve";
    case url_error::kCannotConnectToHost:
      return "connect";
    case url_error::kServerCertificateUntrusted:
    case url_error::kSecureConnectionFailed:
      return "TLS";
    case url_error::kTimedOut:
      return "time-out";
    default:
      return "transfer";
  }
}

std::pair<std::string, std::string> hostAndPath(const std::string& url) {
  std::pair<std::string, std::string> parts{std::string(), url};
  CURLU* handle = curl_url();
  if (handle == nullptr) return parts;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    const auto part = [&](CURLUPart which) {
      char* text = nullptr;
      std::string value;
      if (curl_url_get(handle, which, &text, 0) == CURLUE_OK) value = text;
      curl_free(text);
      return value;
    };
    const std::string port = part(CURLUPART_PORT);
    const std::string query = part(CURLUPART_QUERY);
    parts.first = part(CURLUPART_HOST) + (port.empty() ? "" : ":" + port);
    parts.second = part(CURLUPART_PATH) + (query.empty() ? "" : "?" + query);
  }
  curl_url_cleanup(handle);
  return parts;
}

std::optional<Error> checkRequest(const HttpRequest& request) {
  CURLU* url = curl_url();
  if (url == nullptr) return urlError(url_error::kUnknown, "The request failed: out of memory");
  std::optional<Error> error;
  char* scheme = nullptr;
  if (curl_url_set(url, CURLUPART_URL, request.url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK ||
      curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    error = urlError(url_error::kBadUrl, "The URL is not valid.");
  } else if (std::string_view(scheme) != "https") {
    error = errorForCurlCode(CURLE_UNSUPPORTED_PROTOCOL, std::nullopt, nullptr);
  }
  curl_free(scheme);
  curl_url_cleanup(url);
  if (error) return error;
  if (!isToken(request.method)) {
    return urlError(url_error::kUnknown, "The request failed: the method is not valid.");
  }
  for (const auto& [name, value] : request.headers.fields()) {
    if (!isToken(name) || !isSafeHeaderValue(value)) {
      return urlError(url_error::kUnknown, "The request failed: a header field is not valid.");
    }
  }
  return std::nullopt;
}

}  // namespace quarn::platform
