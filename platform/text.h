// Text helpers shared by the logic: UTF-8 validation and number parsing that
// does not depend on the process locale.
#pragma once

#include <optional>
#include <string_view>

namespace quarn::platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// isValidUtf8 over bytes that arrive in pieces: a character may be split
// between two pieces. Holds no bytes, only the state of the character being
// read.
class Utf8Validator {
 public:
  void append(std::string_view bytes);
  // True when everything appended so far is strict UTF-8 that ends on a whole
  // character.
  bool valid() const { return !failed_ && pending_ == 0; }

 private:
  bool failed_ = false;
  int pending_ = 0;  // continuation bytes the current character still needs
  char32_t codePoint_ = 0;
  char32_t minimum_ = 0;  // the smallest code point its length may encode
};

// Reads `text` as strtod does in the C locale (decimal or hexadecimal
// notation, inf, infinity, nan, an optional sign), whatever the process locale
// is. Absent when `text` is empty, begins with white space, or is not consumed
// to its last byte.
std::optional<double> parseCLocaleDouble(std::string_view text);

}  // namespace quarn::platform
