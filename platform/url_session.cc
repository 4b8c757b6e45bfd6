// HTTP header fields as the session's requests and responses carry them:
// names compared without regard to case, repeated fields joined.
#include "platform/url_session.h"

#include <algorithm>
#include <cctype>

namespace quarn::platform {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void HttpHeaders::add(std::string_view name, std::string_view value) {
  for (auto& [fieldName, fieldValue] : fields_) {
    if (equalsIgnoringCase(fieldName, name)) {
      fieldValue.append(", ").append(value);
      return;
    }
  }
  fields_.emplace_back(std::string(name), std::string(value));
}

std::optional<std::string> HttpHeaders::get(std::string_view name) const {
  for (const auto& [fieldName, fieldValue] : fields_) {
    if (equalsIgnoringCase(fieldName, name)) return fieldValue;
  }
  return std::nullopt;
}

}  // namespace quarn::platform
