// Error: the one error value of quarn, shaped like a platform error.
//
// An error carries a domain, a code and a fixed, human-readable description.
// The description is what logs print and what failure reports send, so the
// program's own error types (ApiError, FileDownloaderError, ...) convert to an
// Error whose description is their fixed text. OS and library errors are mapped
// to an Error once, at the platform edge.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quarn::platform {

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string description;

  friend bool operator==(const Error&, const Error&) = default;
};

// Transport errors of the URL session. The codes are those of the URL-loading
// system that quarn's peers know; the descriptions are quarn's own.
inline constexpr std::string_view kUrlErrorDomain = "URLError";
namespace url_error {
inline constexpr std::int64_t kUnknown = -1;
inline constexpr std::int64_t kCancelled = -999;
inline constexpr std::int64_t kBadUrl = -1000;
inline constexpr std::int64_t kTimedOut = -1001;
inline constexpr std::int64_t kCannotFindHost = -1003;
inline constexpr std::int64_t kCannotConnectToHost = -1004;
inline constexpr std::int64_t kNetworkConnectionLost = -1005;
inline constexpr std::int64_t kHttpTooManyRedirects = -1007;
inline constexpr std::int64_t kBadServerResponse = -1011;
inline constexpr std::int64_t kSecureConnectionRequired = -1022;
inline constexpr std::int64_t kDataLengthExceedsMaximum = -1103;
inline constexpr std::int64_t kSecureConnectionFailed = -1200;
inline constexpr std::int64_t kServerCertificateUntrusted = -1202;
}  // namespace url_error

// The URL-loading error `badServerResponse` with its fixed description.
Error badServerResponseError();

// Errors of the operating system, code = errno.
inline constexpr std::string_view kPosixErrorDomain = "POSIXError";
// An Error for errno value `errnum`: "<context>: <strerror text>", or the bare
// strerror text when `context` is empty.
Error posixError(int errnum, std::string_view context = {});

// A value or an Error, for synchronous platform calls.
template <class T>
class Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Expected(Error error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace quarn::platform
