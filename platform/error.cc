// The platform's fixed errors: the URL-loading "bad server response" and
// errno values with the system's text.
#include "platform/error.h"

#include <cstring>

namespace quarn::platform {

Error badServerResponseError() {
  return Error{std::string(kUrlErrorDomain), url_error::kBadServerResponse,
               "The server returned a bad response."};
}

Error posixError(int errnum, std::string_view context) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in `buffer`.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  std::string description =
      context.empty() ? std::string(text) : std::string(context) + ": " + text;
  return Error{std::string(kPosixErrorDomain), errnum, std::move(description)};
}

}  // namespace quarn::platform
