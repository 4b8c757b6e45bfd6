// Text helpers shared by the logic: UTF-8 validation and number parsing that
// does not depend on the process locale.
#pragma once

#include <optional>
#include <string_view>

namespace quarn::platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Reads `text` as strtod does in the C locale (decimal or hexadecimal
// notation, inf, infinity, nan, an optional sign), whatever the process locale
// is. Absent when `text` is empty, begins with white space, or is not consumed
// to its last byte.
std::optional<double> parseCLocaleDouble(std::string_view text);

}  // namespace quarn::platform
